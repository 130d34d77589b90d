// Meeting responses mode (/D207): an attendee's meeting request whose body
// holds the organizer's "Attendee Responses" block is answered for the
// attendee.  The block parser on its own (which line is whose), then the
// whole way through a running ews-sandbox: the organizer invites five
// sandbox mailboxes, each is read with /D207, and the organizer's item
// shows the answers that were sent and nothing for the others.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "calendar/meeting_response.hpp"

using qvamz::calendar::FindOwnAnswer;

namespace {

std::optional<std::string> AnswerIn(const std::string &body, const std::string &mailbox)
{
    std::unique_ptr<std::FILE, int (*)(std::FILE *)> file(std::tmpfile(), &std::fclose);
    std::fwrite(body.data(), 1, body.size(), file.get());
    std::rewind(file.get());
    return FindOwnAnswer(file.get(), mailbox);
}

constexpr char kBlock[] = "Agenda\r\n\r\n------ Attendee Responses ------\r\n";

} // namespace

// Answer words and letter case are checked end to end below; here which
// line is the mailbox's own.
TEST(MeetingResponseBlock, OnlyTheMailboxOwnLineCounts)
{
    // A longer address that starts with the mailbox's is someone else's;
    // other letter case is the same address; the first own line wins.
    const std::string body = std::string(kBlock) + "ann@x.com.evil (Declined)\r\n" +
                             "ann@x.community (Declined)\r\nanna@x.com (Declined)\r\n" +
                             "ANN@X.COM (Tentative)\r\nann@x.com (Accepted)\r\n";
    EXPECT_EQ(AnswerIn(body, "ann@x.com"), "Tentative");
    EXPECT_EQ(AnswerIn(std::string(kBlock) + "ann@x.com.evil (Accepted)\r\n", "ann@x.com"), std::nullopt);
    // Lines before the header are the meeting's own text; a line without
    // its closing bracket holds no answer.
    EXPECT_EQ(AnswerIn("ann@x.com (Accepted)\r\nno block here\r\n", "ann@x.com"), std::nullopt);
    EXPECT_EQ(AnswerIn(std::string(kBlock) + "ann@x.com (Accepted\r\n", "ann@x.com"), std::nullopt);
}

#ifdef QV_SANDBOX_PATH

#include "frame/logon.hpp"
#include "frame/session.hpp"
#include "mailread/convert_folder.hpp"
#include "mailwrite/bundle_writer.hpp"
#include "mailwrite/target_folders.hpp"
#include "qv/qvcom.h"
#include "qv_test_support.hpp"
#include "connector_sandbox.hpp"
#include "sandbox_fixture.hpp"
#include "test_support.hpp"

namespace {

using namespace qvamz;

constexpr char kOrganizer[] = "org@example.com";
const char *const kAttendees[] = {"ann@example.com", "bob@example.com", "carol@example.com",
                                  "dave@example.com", "erin@example.com"};
std::vector<int> *gStatuses = nullptr;

int QV_STDCALL KeepRecord(qv_message *, void *, char *, int) { return 0; }
int QV_STDCALL CountStatus(qv_message *, char *, int status, int *, int *, int *)
{
    gStatuses->push_back(status);
    return 0;
}

std::string Password(const std::string &mailbox) { return mailbox.substr(0, mailbox.find('@')) + "-pw"; }

// The text after `marker` up to the next '"' or '<'.
std::string ValueAfter(const std::string &text, const std::string &marker, std::size_t from = 0)
{
    const std::size_t at = text.find(marker, from);
    if (at == std::string::npos)
        return {};
    const std::size_t start = at + marker.size();
    return text.substr(start, text.find_first_of("\"<", start) - start);
}

class MeetingResponseSandbox : public sandbox_test::SandboxTest {
  protected:
    void SetUp() override
    {
        SandboxTest::SetUp();
        qvcom_reset_filters();
        qvcom_set_directory(QVCOM_DIR_WORK, work.dir().c_str());
        qvcom_set_directory(QVCOM_DIR_BASE, work.dir().c_str());
        add_user(kOrganizer, Password(kOrganizer));
        for (const char *a : kAttendees)
            add_user(a, Password(a));
        start();
    }
    void TearDown() override
    {
        LogoffSession(session, 0);
        qvcom_set_switches(nullptr);
        SandboxTest::TearDown();
    }

    // A meeting the organizer sends to every attendee; its id.
    std::string Invite(const std::string &subject, const std::string &body)
    {
        std::string attendees;
        for (const char *a : kAttendees)
            attendees += std::string("<t:Attendee><t:Mailbox><t:EmailAddress>") + a +
                         "</t:EmailAddress></t:Mailbox></t:Attendee>";
        const std::string create =
            "<m:CreateItem SendMeetingInvitations=\"SendOnlyToAll\"><m:Items><t:CalendarItem><t:Subject>" +
            subject + "</t:Subject><t:Body BodyType=\"Text\">" + body +
            "</t:Body><t:Start>2026-10-05T09:00:00Z</t:Start><t:End>2026-10-05T10:00:00Z</t:End>"
            "<t:RequiredAttendees>" + attendees + "</t:RequiredAttendees></t:CalendarItem></m:Items></m:CreateItem>";
        auto answer = Organizer().ews(sandbox_test::soap_request(create));
        EXPECT_EQ(answer.status, 200) << answer.body;
        return ValueAfter(answer.body, "<t:ItemId Id=\"");
    }
    // The organizer's item: each attendee's ResponseType.
    std::map<std::string, std::string> Responses(const std::string &id)
    {
        const std::string get =
            "<m:GetItem><m:ItemShape><t:BaseShape>IdOnly</t:BaseShape><t:AdditionalProperties>"
            "<t:FieldURI FieldURI=\"calendar:RequiredAttendees\"/><t:FieldURI FieldURI=\"calendar:OptionalAttendees\"/>"
            "</t:AdditionalProperties></m:ItemShape>"
            "<m:ItemIds><t:ItemId Id=\"" + id + "\"/></m:ItemIds></m:GetItem>";
        auto answer = Organizer().ews(sandbox_test::soap_request(get, sandbox_test::version_header("Exchange2010_SP2")));
        std::map<std::string, std::string> out;
        for (const char *a : kAttendees) {
            const std::size_t at = answer.body.find(std::string(">") + a + "<");
            if (at != std::string::npos)
                out[a] = ValueAfter(answer.body, "<t:ResponseType>", at);
        }
        return out;
    }
    // Reads the attendee's Inbox as a source with the given switches; the
    // statuses the host was given.
    std::vector<int> ReadInbox(const std::string &mailbox, const std::string &switches)
    {
        LogoffSession(session, 0);
        const std::string all = " /CAFILE " + server->ca_file() + " " + switches;
        qvcom_set_switches(all.c_str());
        EXPECT_EQ(conntest::LogonAs(session, mailbox, Password(mailbox), server->ews_url(), 1), kLogonOk)
            << log.text();
        GetFolderNamesImpl(session, [](char *) QV_STDCALL { return 0; });
        std::vector<int> statuses;
        gStatuses = &statuses;
        EXPECT_EQ(conntest::ReadFolder(session, work.dir(), "Inbox", &KeepRecord, &CountStatus, 21).answer, 0)
            << log.text();
        gStatuses = nullptr;
        return statuses;
    }
    // The id of the organizer's only calendar item.
    std::string OrganizerItem()
    {
        const std::string find = "<m:FindItem Traversal=\"Shallow\"><m:ItemShape><t:BaseShape>IdOnly</t:BaseShape>"
                                 "</m:ItemShape><m:ParentFolderIds><t:DistinguishedFolderId Id=\"calendar\"/>"
                                 "</m:ParentFolderIds></m:FindItem>";
        return ValueAfter(Organizer().ews(sandbox_test::soap_request(find)).body, "<t:ItemId Id=\"");
    }
    sandbox_test::Client Organizer() { return server->client().basic(kOrganizer, Password(kOrganizer)); }

    conntest::ScratchDir work;
    conntest::LogCapture log{work};
    Session session;
};

TEST_F(MeetingResponseSandbox, EachAttendeeSendsTheAnswerOfItsOwnLine)
{
    const std::string block =
        "Agenda\n\n------ Attendee Responses ------\n"
        "ann@example.com.evil (Declined)\n"   // a longer address is not ann's
        "Ann@Example.com (Accepted)\n"        // other letter case is
        "bob@example.com (Tentative)\n"
        "carol@example.com (Declined)\n"
        "dave@example.com (No response)\n"
        "erin@example.com (ACCEPTED)\n";      // not an answer word
    const std::string answered = Invite("Steering group", block);
    const std::string plain = Invite("No block", "Agenda only");
    ASSERT_FALSE(answered.empty());

    for (const char *a : kAttendees) {
        const std::vector<int> statuses = ReadInbox(a, "/D207");
        EXPECT_EQ(statuses.size(), 2u) << a << "\n" << log.text();
    }
    EXPECT_EQ(Responses(answered),
              (std::map<std::string, std::string>{{"ann@example.com", "Accept"},
                                                  {"bob@example.com", "Tentative"},
                                                  {"carol@example.com", "Decline"},
                                                  {"dave@example.com", "Unknown"},
                                                  {"erin@example.com", "Unknown"}}))
        << log.text();
    for (const auto &[who, response] : Responses(plain))
        EXPECT_EQ(response, "Unknown") << who;
    EXPECT_FALSE(log.has("unable to send invite response")) << log.text();
}

TEST_F(MeetingResponseSandbox, RefusedAnswerIsLoggedAndTheItemStillCounted)
{
    const std::string block = "x\n\n------ Attendee Responses ------\nann@example.com (Accepted)\n";
    const std::string first = Invite("Refused in the answer", block);
    const std::string second = Invite("Refused by status", block);
    // The first answer is refused inside an HTTP 200 answer, the second with 400.
    const std::string rules = R"([{"operation":"CreateItem","kind":"response_error",)"
                              R"("response_code":"ErrorInvalidReferenceItem"},)"
                              R"({"operation":"CreateItem","kind":"http_status","status":400}])";
    auto control = server->client().request("POST", "/sandbox/faults", rules, {"Content-Type: application/json"});
    ASSERT_EQ(control.status, 200) << control.body;
    const std::vector<int> statuses = ReadInbox("ann@example.com", "/D207");
    EXPECT_EQ(statuses, (std::vector<int>{QV_STATUS_CONVERTED, QV_STATUS_CONVERTED}));
    EXPECT_EQ(log.count("QV Warning: unable to send invite response"), 2u) << log.text();
    EXPECT_TRUE(log.has("ErrorInvalidReferenceItem")) << log.text();
    EXPECT_EQ(Responses(first)["ann@example.com"], "Unknown");
    EXPECT_EQ(Responses(second)["ann@example.com"], "Unknown");
}

// Both runs of the mode: the organizer's calendar is written with /D207
// (responses block and invitations), each attendee's mailbox is then read
// with /D207, and the organizer's item ends with the original answers.
TEST_F(MeetingResponseSandbox, WrittenMeetingCarriesTheAnswersOverInTwoRuns)
{
    qvcom_set_switches((" /CAFILE " + server->ca_file() + " /D207").c_str());
    ASSERT_EQ(conntest::LogonAs(session, kOrganizer, Password(kOrganizer), server->ews_url(), 0), kLogonOk)
        << log.text();
    qvtest::Record folder = qvtest::new_record(0);
    qvtest::set_text(folder->group_folder, "root");
    ASSERT_EQ(InitWriteImpl(session, folder.get(), "Calendar", kFolderTypeCalendar), 0) << log.text();
    qvtest::Record meeting = qvtest::new_record(31);
    meeting->item_type = QV_ITEM_CALENDAR;
    qvtest::set_text(meeting->title, "Migrated review");
    meeting->start_time = qvtest::filetime_utc(2026, 11, 3, 14);
    meeting->end_time = qvtest::filetime_utc(2026, 11, 3, 15);
    meeting->busy_status = 2;
    qvtest::set_text(meeting->organizer_name, "Org");
    qvtest::set_text(meeting->organizer_address, kOrganizer);
    qvtest::add_recipient(*meeting, "Org", kOrganizer, QV_RECIP_ORGANIZER);
    const std::pair<int, int> answers[] = {{QV_RECIP_TO, 1}, {QV_RECIP_TO, 2}, {QV_RECIP_CC, 3}, {QV_RECIP_TO, 0}};
    for (int i = 0; i < 4; ++i)
        qvtest::add_recipient(*meeting, "", kAttendees[i], answers[i].first).response = answers[i].second;
    qvtest::add_part(*meeting, work.dir(), QV_PART_TEXT_BODY, "", "Agenda: numbers");
    ASSERT_EQ(WriteMsgImpl(session, meeting.get(), work.dir().c_str()), 0) << log.text();
    CloseWriteImpl(session, 0);

    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(ReadInbox(kAttendees[i], "/D207").size(), 1u) << kAttendees[i] << "\n" << log.text();
    auto responses = Responses(OrganizerItem());
    EXPECT_EQ(responses["ann@example.com"], "Accept");
    EXPECT_EQ(responses["bob@example.com"], "Decline");
    EXPECT_EQ(responses["carol@example.com"], "Tentative");
    EXPECT_EQ(responses["dave@example.com"], "Unknown");
    EXPECT_FALSE(log.has("unable to send invite response")) << log.text();
}

} // namespace

#endif // QV_SANDBOX_PATH
