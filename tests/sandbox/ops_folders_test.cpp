// GetFolder, FindFolder, CreateFolder and DeleteFolder as a client sees them: shapes,
// traversal, paging, errors and the delegate marker.
#include <gtest/gtest.h>

#include <set>

#include "item_props.hpp"
#include "ops_harness.hpp"

using namespace sandbox;
using ops_test::Answer;
using ops_test::OpsHarness;

namespace {

std::string get_folder(const std::string &id_xml, const std::string &shape = "Default") {
    return "<m:GetFolder><m:FolderShape><t:BaseShape>" + shape + "</t:BaseShape></m:FolderShape>"
           "<m:FolderIds>" + id_xml + "</m:FolderIds></m:GetFolder>";
}

std::string find_folder(const std::string &parent_xml, const std::string &traversal,
                        const std::string &view = "", const std::string &shape = "IdOnly") {
    return "<m:FindFolder Traversal=\"" + traversal + "\"><m:FolderShape><t:BaseShape>" + shape +
           "</t:BaseShape></m:FolderShape>" + view + "<m:ParentFolderIds>" + parent_xml +
           "</m:ParentFolderIds></m:FindFolder>";
}

std::string distinguished(const std::string &id, const std::string &mailbox = "") {
    if (mailbox.empty()) return "<t:DistinguishedFolderId Id=\"" + id + "\"/>";
    return "<t:DistinguishedFolderId Id=\"" + id + "\"><t:Mailbox><t:EmailAddress>" + mailbox +
           "</t:EmailAddress></t:Mailbox></t:DistinguishedFolderId>";
}

std::string page(int max, int offset, const char *base = "Beginning") {
    return "<m:IndexedPageFolderView MaxEntriesReturned=\"" + std::to_string(max) + "\" Offset=\"" +
           std::to_string(offset) + "\" BasePoint=\"" + base + "\"/>";
}

} // namespace

// The default folders of a new mailbox: in the store, and through GetFolder
// with their element and shape.
TEST(OpsFolders, DefaultFoldersOfANewMailboxAndTheirShapes) {
    OpsHarness h;
    const std::int64_t box = h.home();
    struct Row {
        const char *id, *element, *name, *folder_class, *parent;
    };
    const Row rows[] = {
        {"msgfolderroot", "Folder", "Top of Information Store", "", "root"},
        {"inbox", "Folder", "Inbox", "IPF.Note", "msgfolderroot"},
        {"sentitems", "Folder", "Sent Items", "IPF.Note", "msgfolderroot"},
        {"deleteditems", "Folder", "Deleted Items", "IPF.Note", "msgfolderroot"},
        {"calendar", "CalendarFolder", "Calendar", "IPF.Appointment", "msgfolderroot"},
        {"contacts", "ContactsFolder", "Contacts", "IPF.Contact", "msgfolderroot"},
        {"tasks", "TasksFolder", "Tasks", "IPF.Task", "msgfolderroot"},
        {"notes", "Folder", "Notes", "IPF.StickyNote", "msgfolderroot"},
        {"conflicts", "Folder", "Conflicts", "IPF.Note", "syncissues"},
        {"archivemsgfolderroot", "Folder", "Top of Information Store", "", "archiveroot"},
        {"publicfoldersroot", "Folder", "IPM_SUBTREE", "", ""},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.id);
        const auto f = h.store().distinguished_folder(box, r.id);
        ASSERT_TRUE(f);
        EXPECT_EQ(f->folder_class, r.folder_class);
        EXPECT_EQ(f->parent, *r.parent ? h.store().distinguished_folder(box, r.parent)->id : 0);
        Answer a = h.run(get_folder(distinguished(r.id), "AllProperties"));
        const std::string base = std::string("//m:Folders/t:") + r.element, element = r.element;
        EXPECT_EQ(a.codes(), std::vector<std::string>{"NoError"});
        EXPECT_EQ(a.one(base + "/t:DisplayName"), r.name);
        EXPECT_EQ(a.count(base + "/t:FolderId/@Id"), 1u);
        EXPECT_EQ(a.count(base + "/t:UnreadCount"), element == "Folder" || element == "TasksFolder" ? 1u : 0u);
    }
    EXPECT_FALSE(h.store().distinguished_folder(box, "voicemail"));
    EXPECT_EQ(h.store().ensure_mailbox("ALICE@Example.com"), box);
    EXPECT_NE(h.store().ensure_mailbox("bob@example.com"), box);
    Answer root = h.run(get_folder(distinguished("msgfolderroot")));
    EXPECT_GE(std::stoi(root.one("//t:ChildFolderCount")), 14);
    EXPECT_EQ(root.count("//t:FolderClass"), 0u); // not in the Default shape
    Answer idonly = h.run(get_folder(distinguished("inbox"), "IdOnly"));
    EXPECT_EQ(idonly.count("//t:DisplayName"), 0u);
}

TEST(OpsFolders, ErrorsPerFolderId) {
    OpsHarness h;
    std::int64_t box = h.home();
    StoredItem item;
    item.mime = ops_test::sample_mime("x");
    item.info.mailbox = box;
    item.info.folder = h.store().distinguished_folder(box, "inbox")->id;
    ItemInfo made = h.store().add_item(item);
    Answer a = h.run(get_folder(distinguished("inbox") + distinguished("voicemail") +
                                "<t:FolderId Id=\"AAAAAAAA\"/><t:FolderId Id=\"\"/>"
                                "<t:FolderId Id=\"" + h.item_id(made) + "\"/>" +
                                "<t:FolderId Id=\"" + h.folder_id(box, 99999) + "\"/>"));
    EXPECT_EQ(a.codes(), (std::vector<std::string>{"NoError", "ErrorFolderNotFound", "ErrorInvalidIdMalformed",
                                                   "ErrorInvalidIdEmpty", "ErrorCannotUseItemIdForFolderId",
                                                   "ErrorFolderNotFound"}));
    EXPECT_EQ(a.count("//m:GetFolderResponseMessage[@ResponseClass='Error']/m:MessageText"), 5u);
}

TEST(OpsFolders, DeepTraversalListsEveryDescendantParentsFirst) {
    OpsHarness h;
    std::int64_t box = h.home();
    h.store().ensure_folder_path(box, "Inbox/A/A1/A1x");
    h.store().ensure_folder_path(box, "Inbox/B");
    Answer deep = h.run(find_folder(distinguished("inbox"), "Deep", "", "Default"));
    EXPECT_EQ(deep.all("//t:Folder/t:DisplayName"), (std::vector<std::string>{"A", "A1", "A1x", "B"}));
    EXPECT_EQ(deep.one("//m:RootFolder/@TotalItemsInView"), "4");
    EXPECT_EQ(deep.one("//m:RootFolder/@IncludesLastItemInRange"), "true");
    EXPECT_EQ(deep.count("//m:RootFolder/@IndexedPagingOffset"), 0u); // no indexed view asked for
    Answer shallow = h.run(find_folder(distinguished("inbox"), "Shallow", "", "Default"));
    EXPECT_EQ(shallow.all("//t:Folder/t:DisplayName"), (std::vector<std::string>{"A", "B"}));
    EXPECT_EQ(shallow.all("//t:Folder/t:ChildFolderCount"), (std::vector<std::string>{"1", "0"}));

    // Every folder below msgfolderroot, each once, children after parents.
    Answer all = h.run(find_folder(distinguished("msgfolderroot"), "Deep", "", "AllProperties"));
    auto names = all.all("//t:DisplayName");
    auto pos = [&](const std::string &n) { return std::find(names.begin(), names.end(), n) - names.begin(); };
    EXPECT_LT(pos("Inbox"), pos("A"));
    EXPECT_LT(pos("A"), pos("A1x"));
    EXPECT_LT(pos("Sync Issues"), pos("Server Failures"));
    EXPECT_EQ(std::set<std::string>(names.begin(), names.end()).count("Top of Information Store"), 0u);
    auto ids = all.all("//t:FolderId/@Id");
    EXPECT_EQ(ids.size(), std::set<std::string>(ids.begin(), ids.end()).size());

    EXPECT_EQ(h.codes(find_folder(distinguished("publicfoldersroot"), "Deep")), "ErrorInvalidOperation");
}

TEST(OpsFolders, PagingFromTheEndAndBadViews) {
    OpsHarness h;
    std::int64_t box = h.home();
    FolderInfo parent = h.store().ensure_folder_path(box, "Inbox/P");
    for (int i = 0; i < 5; ++i) h.store().create_folder(box, parent.id, "F" + std::to_string(i), "IPF.Note", nullptr);
    std::string pid = "<t:FolderId Id=\"" + h.folder_id(box, parent.id) + "\"/>";
    Answer end = h.run(find_folder(pid, "Shallow", page(2, 0, "End"), "Default"));
    EXPECT_EQ(end.all("//t:DisplayName"), (std::vector<std::string>{"F3", "F4"}));
    EXPECT_EQ(end.one("//m:RootFolder/@IncludesLastItemInRange"), "false");
    Answer start = h.run(find_folder(pid, "Shallow", page(2, 4, "End"), "Default"));
    EXPECT_EQ(start.all("//t:DisplayName"), (std::vector<std::string>{"F0"}));
    EXPECT_EQ(start.one("//m:RootFolder/@IncludesLastItemInRange"), "true");
    Answer beyond = h.run(find_folder(pid, "Shallow", page(2, 9)));
    EXPECT_EQ(beyond.count("//t:FolderId"), 0u);
    EXPECT_EQ(beyond.one("//m:RootFolder/@IncludesLastItemInRange"), "true");
    EXPECT_EQ(h.codes(find_folder(pid, "Shallow", page(0, 0))), "ErrorInvalidPagingMaxRows");
    EXPECT_EQ(h.codes(find_folder(pid, "Shallow", page(5, -1))), "ErrorInvalidIndexedPagingParameters");
    // The server's cap holds without a view and against a bigger one.
    h.config().max_page_entries = 3;
    for (const std::string &view : {std::string(), page(5, 0)}) {
        Answer capped = h.run(find_folder(pid, "Shallow", view));
        EXPECT_EQ(capped.count("//t:FolderId"), 3u) << view;
        EXPECT_EQ(capped.one("//m:RootFolder/@IncludesLastItemInRange"), "false") << view;
    }
}

TEST(OpsFolders, RestrictionOnDisplayName) {
    OpsHarness h;
    std::int64_t box = h.home();
    h.store().ensure_folder_path(box, "Inbox/Reports 2025");
    h.store().ensure_folder_path(box, "Inbox/reports 2026");
    h.store().ensure_folder_path(box, "Inbox/Other");
    Answer a = h.run("<m:FindFolder Traversal=\"Shallow\"><m:FolderShape><t:BaseShape>Default</t:BaseShape>"
                     "</m:FolderShape><m:Restriction><t:Contains ContainmentMode=\"Prefixed\" "
                     "ContainmentComparison=\"IgnoreCase\"><t:FieldURI FieldURI=\"folder:DisplayName\"/>"
                     "<t:Constant Value=\"REPORTS\"/></t:Contains></m:Restriction><m:ParentFolderIds>" +
                     distinguished("inbox") + "</m:ParentFolderIds></m:FindFolder>");
    EXPECT_EQ(a.all("//t:DisplayName"), (std::vector<std::string>{"Reports 2025", "reports 2026"}));
}

TEST(OpsFolders, CreateFolderKindsAndErrors) {
    OpsHarness h;
    Answer a = h.run("<m:CreateFolder><m:ParentFolderId>" + distinguished("inbox") +
                     "</m:ParentFolderId><m:Folders>"
                     "<t:Folder><t:DisplayName>Plain</t:DisplayName></t:Folder>"
                     "<t:Folder><t:FolderClass>IPF.Contact</t:FolderClass><t:DisplayName>People</t:DisplayName></t:Folder>"
                     "<t:CalendarFolder><t:DisplayName>Dates</t:DisplayName></t:CalendarFolder>"
                     "<t:Folder><t:DisplayName>plain</t:DisplayName></t:Folder>"
                     "<t:TasksFolder><t:FolderClass>IPF.Note</t:FolderClass><t:DisplayName>T</t:DisplayName></t:TasksFolder>"
                     "</m:Folders></m:CreateFolder>");
    EXPECT_EQ(a.codes(), (std::vector<std::string>{"NoError", "NoError", "NoError", "ErrorFolderExists",
                                                   "ErrorNoFolderClassOverride"}));
    EXPECT_EQ(a.count("//m:Folders/t:ContactsFolder/t:FolderId"), 1u);
    EXPECT_EQ(a.count("//m:Folders/t:CalendarFolder/t:FolderId"), 1u);
    std::string id = a.one("//m:Folders/t:Folder/t:FolderId/@Id");
    Answer got = h.run(get_folder("<t:FolderId Id=\"" + id + "\"/>", "AllProperties"));
    EXPECT_EQ(got.one("//t:FolderClass"), "IPF.Note");
    EXPECT_EQ(got.one("//t:DisplayName"), "Plain");

    EXPECT_EQ(h.codes("<m:CreateFolder><m:ParentFolderId><t:FolderId Id=\"" + h.folder_id(h.home(), 4242) +
                      "\"/></m:ParentFolderId><m:Folders><t:Folder><t:DisplayName>x</t:DisplayName>"
                      "</t:Folder></m:Folders></m:CreateFolder>"), "ErrorParentFolderNotFound");
}

TEST(OpsFolders, DelegateMarkerSelectsTheMailboxForDelegateAdministratorsOnly) {
    OpsHarness h;
    // A plain user may name its own mailbox but no other.
    EXPECT_EQ(h.codes(get_folder(distinguished("inbox", "ALICE@example.com"))), "NoError");
    EXPECT_EQ(h.codes(get_folder(distinguished("inbox", "bob@example.com"))), "ErrorAccessDenied");

    h.ctx().delegate_admin = true;
    Answer bob = h.run(get_folder(distinguished("inbox", "bob@example.com")));
    ASSERT_EQ(bob.one("//m:ResponseCode"), "NoError");
    std::string bob_inbox = bob.one("//t:FolderId/@Id");
    auto bob_box = h.store().find_mailbox("bob@example.com");
    ASSERT_TRUE(bob_box);
    EXPECT_EQ(bob_inbox, h.folder_id(*bob_box, h.store().distinguished_folder(*bob_box, "inbox")->id));
    // The id reaches Bob's mailbox on later requests...
    EXPECT_EQ(h.codes(get_folder("<t:FolderId Id=\"" + bob_inbox + "\"/>")), "NoError");
    // ...but not for users without the right.
    h.ctx().delegate_admin = false;
    EXPECT_EQ(h.codes(get_folder("<t:FolderId Id=\"" + bob_inbox + "\"/>")), "ErrorFolderNotFound");

    h.ctx().delegate_admin = true;
    h.ctx().mailbox_exists = [](const std::string &a) { return a == "bob@example.com"; };
    EXPECT_EQ(h.codes(get_folder(distinguished("inbox", "nobody@example.com"))), "ErrorNonExistentMailbox");
    EXPECT_FALSE(h.store().find_mailbox("nobody@example.com"));
}

// "DeleteFolder operation" (learn.microsoft.com/exchange/client-developer/
// web-service-reference/deletefolder-operation): the three delete types, and
// ErrorDeleteDistinguishedFolder for the default folders.
TEST(OpsFolders, DeleteFolderKinds) {
    OpsHarness h;
    const std::int64_t box = h.home();
    auto folder = [&](const char *name) { return *h.store().distinguished_folder(box, name); };
    FolderInfo gone = h.store().ensure_folder_path(box, "Inbox/Gone");
    FolderInfo below = h.store().ensure_folder_path(box, "Inbox/Gone/Below");
    FolderInfo trashed = h.store().ensure_folder_path(box, "Inbox/Trashed");
    StoredItem item = message_item_from_mime(ops_test::sample_mime("inside"), 1704110400);
    item.info.mailbox = box;
    item.info.folder = below.id;
    const ItemInfo inside = h.store().add_item(item);
    auto del = [&](const char *type, const FolderInfo &f) {
        return h.run(std::string("<m:DeleteFolder DeleteType=\"") + type + "\"><m:FolderIds><t:FolderId Id=\"" +
                     h.folder_id(box, f.id) + "\"/></m:FolderIds></m:DeleteFolder>").one("//m:ResponseCode");
    };
    EXPECT_EQ(del("HardDelete", gone), "NoError");
    EXPECT_FALSE(h.store().folder(box, below.id));
    EXPECT_FALSE(h.store().item(box, inside.id));
    EXPECT_EQ(del("HardDelete", gone), "ErrorFolderNotFound");
    EXPECT_EQ(del("MoveToDeletedItems", trashed), "NoError");
    EXPECT_EQ(h.store().folder(box, trashed.id)->parent, folder("deleteditems").id);
    EXPECT_EQ(del("MoveToDeletedItems", trashed), "NoError"); // already there: to the dumpster
    EXPECT_EQ(h.store().folder(box, trashed.id)->parent, folder("recoverableitemsdeletions").id);
    EXPECT_EQ(del("SoftDelete", folder("inbox")), "ErrorDeleteDistinguishedFolder");
    EXPECT_EQ(h.store().folder(box, folder("inbox").id)->child_count, 0);
}
