#include "help.h"

#include "cli.h"

namespace dbhost {

std::string help_text() {
    return usage_text() +
           "\n"
           "Commands:\n"
           "  backup     run a backup through the plug-in and keep every item it hands over\n"
           "             in a new save set of the store\n"
           "  restore    write the items of a save set into a directory and announce each\n"
           "             one to the plug-in; with --job, the job's last FULL save set and\n"
           "             every later one, in order\n"
           "  list       list the save sets of a store, or the items of one save set\n"
           "  info       load the plug-in and show what DB_GetInfo reports\n"
           "  selftest   run the plug-in's self tests (test_zarafa_server_utils)\n"
           "\n"
           "Options:\n"
           "  -h, --help             show this help and exit\n"
           "  -v, --verbose          show every plug-in message and trace line on standard\n"
           "                         error, not only the Error: and Warning: messages\n"
           "  --log FILE             append the time-stamped messages to FILE instead of\n"
           "                         ./dbhost.log\n"
           "  --plugin SO            the plug-in library to load\n"
           "  --store DIR            the store directory: one directory per save set\n"
           "  --saveset NAME         the save set to write, read or list (SAVESET=)\n"
           "  --level LEVEL          backup level FULL, INCR, DIFF or COPY (default COPY),\n"
           "                         passed as the option words \"-l\" \"LEVEL\"\n"
           "  --job NAME             job name, passed as the option words \"-j\" \"NAME\";\n"
           "                         for a restore, the job whose chain is restored\n"
           "  --work-dir DIR         the plug-in's work directory (TMP_DIR=)\n"
           "  --mailbox NAME         a mailbox to back up or restore (DATABASE=); may be\n"
           "                         repeated; also ALL, ALL_USERS or PUBLIC_FOLDER\n"
           "  --exclude P1,P2        exclusion patterns, passed as the option words \"-x\" \"P1,P2\"\n"
           "  --var KEY=VALUE        one more control variable, passed as given; may be repeated\n"
           "  --replace              replace an existing save set of that name, once the new\n"
           "                         backup has succeeded\n"
           "  --into DIR             the directory the restored items are written into\n"
           "  --list-file USER@FILE  restore USER selectively from the list file FILE\n"
           "                         (DATABASE=USER@FILE); may be repeated\n"
           "  --no-recovery          restore without importing (RECOVERY=NO): the files stay\n"
           "                         and the plug-in writes restore scripts beside them\n"
           "  --test-kill-after-call N  for tests only: die by SIGKILL right after the N-th\n"
           "                         operation call of the plug-in\n"
           "  --test-fail-item N     for tests only: report the N-th item as failed\n"
           "                         without storing it\n"
           "\n"
           "Every value may also be given as --option=VALUE. Relative paths are taken from\n"
           "the directory dbhost was started in.\n";
}

} // namespace dbhost
