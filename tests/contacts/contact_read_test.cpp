// Reading contacts and lists: the fields of a recorded Exchange answer, the
// member walk of a list's TNEF stream (and what a damaged one yields), and
// a whole folder against a scripted server.
#include <gtest/gtest.h>

#include <tuple>


#include "contacts/contact_folder.hpp"
#include "contacts/contact_parse.hpp"
#include "contacts/dist_list_members.hpp"
#include "ews/folder_table.hpp"
#include "mailread/convert_folder.hpp"
#include "qv/qvcom.hpp"
#include "contacts_test_support.hpp"

namespace {

using namespace qvamz;
using namespace qvamz::contacts;
using namespace contest;

const std::string kContactFile = std::string(QV_TEST_DATA_DIR) + "/contacts/getitem-contact.xml";

// Every field's way into the record is checked by the exchangelib copy;
// here what a recorded Exchange answer adds.
TEST(ContactParse, RecordedAnswer)
{
    conntest::ScratchDir dir;
    qvtest::Record msg = qvtest::new_record(3);
    const std::string answer = StoredForm(conntest::ServerForm(kContactFile));
    ASSERT_EQ(ParseContactText(answer, *msg, dir.dir()), 1);
    // File-as, company, second business phone, home state, and the
    // contact's own categories (not its folder's name).
    EXPECT_EQ((std::vector<std::string>{msg->file_as, msg->company, msg->business_phone2, msg->home_state,
                                        msg->categories}),
              (std::vector<std::string>{"Müller, Jürgen", "Müller & Söhne GmbH", "+41 44 000 04", "", "Customers"}));
    EXPECT_EQ(+msg->contact_kind, 0);
    // The notes are the record's text part, entities and line breaks undone.
    char notes[256];
    com_ReadNotes(msg.get(), notes, sizeof notes, dir.dir().c_str());
    EXPECT_STREQ(notes, "Met at the fair & booked a call.\r\nSecond line <kept>.");
}

TEST(ContactParse, LongFieldsAreCutBetweenCharactersAndNamelessItemsSkipped)
{
    conntest::ScratchDir dir;
    std::string answer = conntest::ServerForm(kContactFile);
    // 249 letters and a euro sign: the sign would end at byte 252.
    const std::string long_name = std::string(249, 'x') + "\xE2\x82\xAC" + "yz";
    answer.replace(answer.find("Einkauf</t:Department>"), 7, long_name);
    qvtest::Record msg = qvtest::new_record(3);
    ASSERT_EQ(ParseContactText(StoredForm(answer), *msg, dir.dir()), 1);
    EXPECT_EQ(std::string(msg->department), std::string(249, 'x'));

    std::string nameless = conntest::ServerForm(kContactFile);
    nameless.replace(nameless.find("<t:DisplayName>"), 44, "<t:DisplayName></t:DisplayName>");
    qvtest::Record skipped = qvtest::new_record(4);
    EXPECT_EQ(ParseContactText(StoredForm(nameless), *skipped, dir.dir()), 0);
}

TEST(MemberWalk, TnefStreamMembersAndDamage)
{
    const std::vector<Member> members = {
        {u"Ann Example", u"Ann", u"ann@example.org"},
        {u"Zoë Ünal 😀", u"Zoë", u"zoe@extern.example"},
        {u"Room 4", u"Room", u"room4"}, // an address without "@"
    };
    const std::string stream = TnefStream(u"Team Ω", members);
    const auto walked = WalkTnefMembers(stream);
    ASSERT_EQ(walked.size(), 3u);
    EXPECT_EQ(walked[0].name, "Ann Example");
    EXPECT_EQ(walked[0].address, "ann@example.org");
    EXPECT_EQ(walked[1].name, "Zoë Ünal \xF0\x9F\x98\x80");
    EXPECT_EQ(walked[2].address, "room4");

    // Cut anywhere, the stream yields the whole members before the cut.
    for (std::size_t cut = 0; cut < stream.size(); cut += 7) {
        const auto partial = WalkTnefMembers(stream.substr(0, cut));
        ASSERT_LE(partial.size(), 3u);
        for (std::size_t i = 0; i < partial.size(); ++i)
            EXPECT_EQ(partial[i].address, walked[i].address) << "cut at " << cut;
    }
    // A count larger than the members present, a wrong signature.
    EXPECT_EQ(WalkTnefMembers(TnefStream(u"L", members, 1000000)).size(), 3u);
    std::string unsigned_stream = stream;
    unsigned_stream[1] = 'x';
    EXPECT_TRUE(WalkTnefMembers(unsigned_stream).empty());
}

TEST(MemberWalk, EntryLengthsKeepTheWalkAligned)
{
    // The second entry is 24 + 2 * (100 + 5 + 11) = 256 bytes long: its
    // length begins with a zero byte right after the first entry's padding.
    const std::u16string long_name(99, u'a');
    const std::vector<Member> members = {{u"Next", u"SMTP", u"next@example.org"},
                                         {long_name, u"SMTP", u"b@x.exampl"},
                                         {u"Last", u"SMTP", u"last@example.org"}};
    const auto walked = WalkTnefMembers(TnefStreamWithEntries(members));
    ASSERT_EQ(walked.size(), 3u);
    EXPECT_EQ(walked[0].name, "Next");
    EXPECT_EQ(walked[1].address, "b@x.exampl");
    EXPECT_EQ(walked[2].address, "last@example.org");
}

TEST(MemberWalk, ListWithoutMimeContentReadsItsMembersElement)
{
    conntest::ScratchDir dir;
    const std::string tnef = TnefStream(u"Team", {{u"Ann", u"Ann", u"ann@example.org"}});
    const std::string members_xml =
        "<t:Members><t:Member Key=\"m1\"><t:Mailbox><t:Name>Cleo</t:Name>"
        "<t:EmailAddress>cleo@example.org</t:EmailAddress><t:RoutingType>SMTP</t:RoutingType>"
        "<t:MailboxType>OneOff</t:MailboxType></t:Mailbox><t:Status>Normal</t:Status></t:Member>"
        "</t:Members>";
    qvtest::Record fallback = qvtest::new_record(6);
    ASSERT_EQ(ParseContactText(StoredForm(ListAnswer("L", "", members_xml)), *fallback, dir.dir()),
              1);
    ASSERT_EQ(fallback->recipient_count, 1);
    EXPECT_STREQ(fallback->recipients[0]->address, "cleo@example.org");

    // The answers made here are shaped as the schema wants them.
    std::string findings;
    EXPECT_TRUE(conntest::TextValidatesAgainstSchema(ListAnswer("L", ListMime(tnef), members_xml),
                                                     &findings))
        << findings;
}

// ---- a whole folder against a scripted server ------------------------------

struct Handed {
    std::string last_name, title;
    int kind = 0, parts = 0, recipients = 0;
    std::vector<std::string> attachment_bytes;
};
std::vector<Handed> *gHanded = nullptr; // the host callbacks carry no context
std::vector<int> *gStatuses = nullptr;

int QV_STDCALL Output(qv_message *msg, void *, char *work_dir, int)
{
    Handed h{msg->last_name, msg->title, msg->contact_kind, msg->part_count,
             msg->recipient_count, {}};
    for (int i = 0; i < msg->part_count; ++i)
        if (msg->parts[i]->part_type == QV_PART_ATTACHMENT)
            h.attachment_bytes.push_back(
                conntest::ReadFile(qvcom::part_file_path(work_dir, msg->msg_number, i)));
    gHanded->push_back(h);
    return 0;
}
int QV_STDCALL Status(qv_message *, char *, int status, int *, int *, int *)
{
    gStatuses->push_back(status);
    return 0;
}

class ContactFolderTest : public conntest::ScriptedSessionTest {
  protected:
    void SetUp() override
    {
        ScriptedSessionTest::SetUp();
        gHanded = &handed;
        gStatuses = &statuses;
        session.state.folders.push_back({.total_count = total, .display_name = "Contacts",
                                         .folder_type = kFolderTypeContacts,
                                         .folder_id = "FOLDER1"});
    }
    int Convert()
    {
        return ConvertFolderImpl(session, {.msg = msg.get(), .output = &Output, .folder_index = 0,
                                           .out_count = &out_count, .status = &Status});
    }
    // FindItem pages of 500 out of `total`; every GetItem gets the
    // recorded contact, or the list for id C1.
    conntest::ScriptedReply Route(const conntest::RecordedRequest &request)
    {
        const std::string &body = request.body;
        if (body.find("<FindItem ") != std::string::npos) {
            const std::size_t at = body.find("Offset=\"") + 8;
            const int offset = std::stoi(body.substr(at));
            const int count = std::min(500, total - offset);
            return conntest::Respond(200, FindItemPage(offset, count, offset + count >= total));
        }
        if (body.find("<GetItem ") != std::string::npos) {
            if (body.find("Id=\"C1\"") != std::string::npos)
                return conntest::Respond(
                    200, ListAnswer("Team", ListMime(TnefStream(u"Team", {{u"Ann", u"Ann", u"a@x"}}))));
            return conntest::Respond(200, conntest::ServerForm(kContactFile));
        }
        if (body.find("<GetAttachment ") != std::string::npos) {
            const bool first = body.find("AAMkAGAtt1=") != std::string::npos;
            return conntest::Respond(
                200, Success("GetAttachment",
                             "<m:Attachments><t:FileAttachment><t:AttachmentId Id=\"A\"/>"
                             "<t:Name>n</t:Name><t:Content>" +
                                 qvtest::base64_encode(first ? "%PDF-1.4 card" : "JPEGBYTES") +
                                 "</t:Content></t:FileAttachment></m:Attachments>"));
        }
        return conntest::Respond(200, Success("UpdateItem", ""));
    }

    int total = 12;
    qvtest::Record msg = qvtest::new_record(1);
    std::vector<Handed> handed;
    std::vector<int> statuses;
    int out_count = -1;
};

// (Paging is the shared item listing's, tested with mail folders.)
TEST_F(ContactFolderTest, ListsGetTheirEditFlagAndTheLimitIsHonoured)
{
    server.SetFallback([this](const conntest::RecordedRequest &r) { return Route(r); });
    session.state.max_messages = 10;
    session.settings.update_dl_edit_flag = 1;
    EXPECT_EQ(Convert(), 0);

    int get_items = 0, updates = 0;
    for (const auto &request : server.requests()) {
        const std::string &body = request.body;
        get_items += body.find("<GetItem ") != std::string::npos;
        if (body.find("<UpdateItem ") != std::string::npos) {
            ++updates;
            EXPECT_NE(body.find("<t:ItemId Id=\"C1\" ChangeKey=\"K1\"/>"), std::string::npos);
            // The edit flag is a single Boolean: a server refuses it as a list.
            EXPECT_NE(body.find("<t:Value>true</t:Value>"), std::string::npos);
            EXPECT_EQ(body.find("<t:Values>"), std::string::npos);
        }
        std::string findings;
        EXPECT_TRUE(conntest::TextValidatesAgainstSchema(body, &findings)) << findings;
    }
    EXPECT_EQ(get_items, 10); // the eleventh item is not fetched
    EXPECT_EQ(updates, 1);
    EXPECT_EQ(out_count, 10);
    ASSERT_EQ(handed.size(), 10u);
    EXPECT_EQ(statuses, std::vector<int>(10, QV_STATUS_CONVERTED));

    // The list, then contacts with both attachments and their notes.
    EXPECT_EQ(std::tie(handed[1].kind, handed[1].title, handed[1].recipients),
              std::make_tuple(1, "Team", 1));
    EXPECT_EQ(std::tie(handed[0].last_name, handed[0].parts), // notes and two attachments
              std::make_tuple("Müller", 3));
    EXPECT_EQ(handed[0].attachment_bytes,
              (std::vector<std::string>{"%PDF-1.4 card", "JPEGBYTES"}));
    EXPECT_FALSE(std::filesystem::exists(dir.file("itemids.tmp")));
}

TEST_F(ContactFolderTest, AContactThatCannotBeFetchedIsSkippedNotTheFolder)
{
    total = 3;
    session.settings.item_attempts = 1;
    server.SetFallback([this](const conntest::RecordedRequest &r) {
        if (r.body.find("Id=\"C1\"") != std::string::npos &&
            r.body.find("<GetItem ") != std::string::npos)
            return conntest::Respond(404, "not here");
        return Route(r);
    });
    session.state.folders[0].total_count = 3;
    EXPECT_EQ(Convert(), 0);
    EXPECT_EQ(statuses, (std::vector<int>{QV_STATUS_CONVERTED, QV_STATUS_SKIPPED,
                                          QV_STATUS_CONVERTED}));
    EXPECT_EQ(out_count, 2);
    EXPECT_TRUE(log.has("QV Warning: unable to retrieve contact"));
}

} // namespace
