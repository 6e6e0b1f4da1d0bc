// The restore index beside the pending-mailbox and received-path lists: the
// owner of a received file by its own name, when a mailbox becomes ready,
// the last path of a name, acting on and removing mailboxes, and the rebuild
// after the lists were changed behind the index's back.
#include <gtest/gtest.h>

#include <memory>

#include "list.h"
#include "restore_index.h"

namespace {

using Names = std::vector<std::string>;

struct ListDeleter {
    void operator()(LIST_INFO *list) const { DestroyFIFOList(list); }
};
using List = std::unique_ptr<LIST_INFO, ListDeleter>;

void push(LIST_INFO *list, const std::string &text) {
    ASSERT_TRUE(PushFIFOItem(list, text.c_str(), static_cast<uint32_t>(text.size() + 1)));
}

class RestoreIndexTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char *user : {"bob", "bob.x", "PUBLIC_FOLDER", "alice"})
            push(users.get(), user);
    }
    // What DB_SetItem does with a received path.
    void receive(const std::string &path) {
        push(files.get(), path);
        index.received(users.get(), files.get(), path);
    }
    Names ready() {
        Names names;
        for (const size_t order : index.ready(users.get(), files.get()))
            names.push_back(index.mailbox(order).name);
        return names;
    }
    std::string owner(const char *file_name) {
        const auto *mailbox = index.owner_of(users.get(), files.get(), file_name);
        return mailbox ? mailbox->name : "(none)";
    }
    size_t order_of(const std::string &name) {
        for (const size_t order : index.ready(users.get(), files.get()))
            if (index.mailbox(order).name == name)
                return order;
        ADD_FAILURE() << name << " is not ready";
        return 0;
    }

    List users{CreateFIFOList()}, files{CreateFIFOList()};
    ark::RestoreIndex index;
};

TEST_F(RestoreIndexTest, OwnerIsTheFirstPendingMailboxWhoseStemBeginsTheName) {
    EXPECT_EQ(owner("bob.x.index.zbk"), "bob");
    EXPECT_EQ(owner("bob.data.zbk"), "bob");
    EXPECT_EQ(owner("Public.data.zbk"), "PUBLIC_FOLDER");
    EXPECT_EQ(owner("alice.index.zbk"), "alice");
    EXPECT_EQ(owner("xbob.index.zbk"), "(none)");
    EXPECT_EQ(owner("bob"), "(none)");
    EXPECT_EQ(owner("PUBLIC_FOLDER.index.zbk"), "(none)") << "the public store's files are named Public";
}

TEST_F(RestoreIndexTest, MailboxIsReadyWhenItsOwnIndexArrivesAndUntilActedOn) {
    receive("/r/bob.data.zbk");
    receive("/r/bob.x.data.zbk");
    EXPECT_EQ(ready(), Names{});
    receive("/r/bob.x.index.zbk");
    EXPECT_EQ(ready(), Names{"bob.x"});
    receive("/r/Public.index.zbk");
    receive("/r/bob.index.zbk");
    receive("/s/bob.index.zbk");
    EXPECT_EQ(ready(), (Names{"bob", "bob.x", "PUBLIC_FOLDER"})) << "in list order";
    EXPECT_EQ(index.last_path("bob.index.zbk"), "/s/bob.index.zbk");
    EXPECT_EQ(index.last_path("bob.data.zbk"), "/r/bob.data.zbk");
    EXPECT_FALSE(index.last_path("alice.index.zbk"));

    index.acted_on(order_of("bob"));
    EXPECT_EQ(ready(), (Names{"bob.x", "PUBLIC_FOLDER"}));
    receive("/t/bob.index.zbk");
    EXPECT_EQ(ready(), (Names{"bob", "bob.x", "PUBLIC_FOLDER"})) << "its index arrived once more";

    ASSERT_TRUE(index.remove(users.get(), order_of("PUBLIC_FOLDER")));
    ASSERT_TRUE(index.remove(users.get(), order_of("bob")));
    EXPECT_EQ(ready(), Names{"bob.x"});
    Names left;
    for (const LIST_ITEM *item = users->spFirstItem; item; item = item->spNextItem)
        left.emplace_back(static_cast<const char *>(item->vpData));
    EXPECT_EQ(left, (Names{"bob.x", "alice"}));
    EXPECT_EQ(owner("bob.x.data.zbk"), "bob.x") << "bob is gone";
    EXPECT_EQ(owner("bob.data.zbk"), "(none)");
}

TEST_F(RestoreIndexTest, ListsChangedBehindItsBackAreReadAgain) {
    receive("/r/bob.index.zbk");
    const size_t bob = order_of("bob");
    index.acted_on(bob);
    // Appends made directly to the lists, as any C caller may.
    push(users.get(), "carol");
    push(files.get(), "/r/carol.index.zbk");
    EXPECT_EQ(owner("carol.data.zbk"), "carol");
    // After a rebuild, which mailboxes were acted on is not known: every
    // pending one with an index counts as ready.
    EXPECT_EQ(ready(), (Names{"bob", "carol"}));
    // An order taken before a change behind the index's back is refused.
    const size_t carol = order_of("carol");
    ASSERT_TRUE(RemoveFIFOItemAt(users.get(), 0));
    EXPECT_FALSE(index.remove(users.get(), carol));
    EXPECT_EQ(ready(), Names{"carol"});
    index.reset();
    EXPECT_EQ(ready(), Names{"carol"});
}

} // namespace
