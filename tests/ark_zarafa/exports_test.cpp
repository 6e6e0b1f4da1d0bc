// The plug-in's symbol table as a host's dynamic linker sees it: every entry
// point, library function and global under its plain C name, and trace()
// left for the host process to supply.
#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <string>

#include "support/fixtures.h"

namespace {

std::set<std::string> symbols(const char *which) {
    const arktest::ProcessResult r = arktest::run_process({"nm", "-D", which, ARK_PLUGIN_PATH});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    std::set<std::string> names;
    std::istringstream in(r.out);
    for (std::string line; std::getline(in, line);)
        names.insert(line.substr(line.rfind(' ') + 1));
    return names;
}

TEST(Exports, EveryNamedFunctionAndGlobalIsDefinedUnderItsPlainName) {
    const std::set<std::string> defined = symbols("--defined-only");
    const char *expected[] = {
        // entry points and messages
        "DB_InitOperation", "DB_GetItem", "DB_SetItem", "DB_ItemFinishStatus", "DB_CloseOperation", "DB_SetTrace",
        "DB_SetLog", "DB_GetInfo", "DB_GetError", "DB_TraceExt", "DB_LogExt", "g_sARKZarafa",
        "zarafa_global_struct_init", "zarafa_parse_db_args", "zarafa_global_struct_cleanup",
        // selection and server queries
        "setup_backup_level", "print_backup_level", "GetUsersFromServer", "GetUsersFromCmdLine", "BuildUserList",
        "ProcessExcludeList", "apply_exclude_list", "print_users", "GetUserInfo", "get_users_from_server",
        "test_zarafa_server_utils", "test_GetUserFromServer", "test_GetUserInfo",
        // set-up, items, restore services
        "display_norecover_box", "backup_user", "ark_zarafa_backup_user", "build_file_list", "select_files",
        "IsGetItemParamOk", "restore_user_selective", "restore_full_script", "ark_zarafa_restore_user",
        "parse_index_line", "zarafa_index_is_in_table", "zarafa_index_get_all_rekord_keys",
        "zarafa_index_clear_recordkeys_table", "print_index_file", "build_list_file", "parse_list_file",
        "InitSelectiveRestore", "ParseIndexFile", "ParseIndexFileLine", "is_in_list", "print_list", "dump_string",
        "g_cpPushPopDirBuf", "utils_push_dir", "utils_pop_dir", "utils_path_exists",
        "utils_generate_full_rst_script", "cleanup_after_restore",
        // FIFO list
        "CreateFIFOList", "PushFIFOItem", "PullFIFOItem", "PullFIFOItemAt", "RemoveFIFOItemAt", "ListFIFOItem",
        "FIFOItemExists", "CopyFIFOList", "IsStringInFIFOList", "IsWStringInFIFOList", "GetFIFOItemNumber",
        "GetListLength", "DestroyFIFOList", "iItemAt",
        // profile reader and string utilities
        "i_GetPrivateProfileString", "i_GetPrivateProfileList", "c_PARSE_FOR_PARENTHESES", "i_REMOVE_COMMENT",
        "longtoasc", "intoas", "lowercase", "uppercase", "squeeze", "szChar2EscapeChar", "strlcpy", "wcslcpy",
        "InsArgvLL",
        // linked lists
        "l_lafter", "l_lbefore", "l_unlink", "l_linit", "LinkFirstLL", "LinkLastLL", "LinkAftLL", "LinkBefLL",
        "UnlinkLL", "UnlinkNeLL", "UnlinkPrLL", "LinkInsLLf", "LinkInsBefLLf", "LinkInsAftLLf", "LinkInsLastLLf",
        "LinkInsFirstLLf", "InsLLf", "InsBefLLf", "InsAftLLf", "InsLastLLf", "InsFirstLLf", "DelElmLL",
        "DelElmNeLL", "DelElmPrLL", "FirstElmLL", "LastElmLL", "NextElmLL", "PrevElmLL", "NextCElmLL",
        "PrevCElmLL", "NthElmLL", "RelNthElmLL", "IsElmLL", "IsFirstElmLL", "IsLastElmLL", "IsNthElmLL",
        "IsEmptyLL", "InitLL", "ConsLL", "EmptyLL", "DestLL", "ApplyLL", "ReverseLL", "SizeLL", "ConsPtrLL",
        "ConsCopyLL", "NullMall", "CutPaste", "MoveListFirstLL", "MoveListLastLL", "MoveListAftLL",
        "MoveListBefLL", "MoveHeadFirstLL", "MoveHeadLastLL", "MoveHeadAftLL", "MoveHeadBefLL",
        "MoveTailFirstLL", "MoveTailLastLL", "MoveTailAftLL", "MoveTailBefLL", "LookInLL", "IndexElmLL",
        "IntCompare", "SysSortLL", "MergeSortLL", "listsort", "UserCompare", "listcompare"};
    for (const char *name : expected)
        EXPECT_TRUE(defined.count(name)) << name << " is not exported";
}

TEST(Exports, TheSystemLayerStaysInside) {
    for (const std::string &name : symbols("--defined-only"))
        EXPECT_EQ(name.find("N3ark3sys"), std::string::npos) << name << " is exported";
}

TEST(Exports, TraceIsLeftToTheHost) {
    EXPECT_TRUE(symbols("--undefined-only").count("trace"));
    EXPECT_FALSE(symbols("--defined-only").count("trace"));
}

} // namespace
