// Meeting responses mode (/D207): an attendee's meeting request whose body
// holds the organizer's "Attendee Responses" block is answered for the
// attendee.  The block parser on its own (which line is whose), then the
// whole way through a running ews-sandbox: answers refused by the server,
// and a meeting written with /D207 whose attendees, read with /D207, send
// the original answers.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "calendar/meeting_response.hpp"

using qvamz::calendar::FindOwnAnswer;
using qvamz::calendar::ResponseOperation;

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

// Which line is the mailbox's own, and which words answer.
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
    // The words are the block writer's own: no other spelling answers.
    EXPECT_EQ(ResponseOperation("Declined"), "DeclineItem");
    for (const char *not_an_answer : {"ACCEPTED", "No response", ""})
        EXPECT_EQ(ResponseOperation(not_an_answer), "") << not_an_answer;
}

#ifdef QV_SANDBOX_PATH

#include "frame/logon.hpp"
#include "mailread/convert_folder.hpp"
#include "mailwrite/bundle_writer.hpp"
#include "mailwrite/target_folders.hpp"
#include "qv/qvcom.h"
#include "qv_test_support.hpp"
#include "connector_sandbox.hpp"

namespace {

using namespace qvamz;

constexpr char kOrganizer[] = "org@example.com";
const char *const kAttendees[] = {"ann@example.com", "bob@example.com", "carol@example.com",
                                  "dave@example.com"};
std::vector<int> *gStatuses = nullptr;
std::map<std::string, int> *gResponses = nullptr; // address -> response of the recipients read

int QV_STDCALL KeepRecord(qv_message *msg, void *, char *, int)
{
    for (int i = 0; gResponses && i < msg->recipient_count; ++i)
        (*gResponses)[msg->recipients[i]->address] = msg->recipients[i]->response;
    return 0;
}
int QV_STDCALL CountStatus(qv_message *, char *, int status, int *, int *, int *)
{
    gStatuses->push_back(status);
    return 0;
}

std::string Password(const std::string &mailbox) { return mailbox.substr(0, mailbox.find('@')) + "-pw"; }

class MeetingResponseSandbox : public conntest::ConnectorSandboxTest {
  protected:
    MeetingResponseSandbox() : ConnectorSandboxTest(kOrganizer, Password(kOrganizer)) {}
    void SetUp() override
    {
        ConnectorSandboxTest::SetUp();
        for (const char *a : kAttendees)
            add_user(a, Password(a));
        start();
    }

    // Writes, as the organizer's target with /D207, a meeting whose
    // attendees answered as `responses` says (1 accepted, 2 declined, 3
    // tentative, 0 none): the item carries the responses block and its
    // invitations go out.
    void WriteMeeting(const std::string &title, const std::vector<int> &responses)
    {
        StartAndLogon("/D207", 0);
        qvtest::Record folder = qvtest::new_record(0);
        qvtest::set_text(folder->group_folder, "root");
        ASSERT_EQ(InitWriteImpl(session, folder.get(), "Calendar", kFolderTypeCalendar), 0) << log.text();
        qvtest::Record meeting = qvtest::new_record(31);
        meeting->item_type = QV_ITEM_CALENDAR;
        qvtest::set_text(meeting->title, title);
        meeting->start_time = qvtest::filetime_utc(2026, 11, 3, 14);
        meeting->end_time = qvtest::filetime_utc(2026, 11, 3, 15);
        meeting->busy_status = 2;
        qvtest::set_text(meeting->organizer_name, "Org");
        qvtest::set_text(meeting->organizer_address, kOrganizer);
        qvtest::add_recipient(*meeting, "Org", kOrganizer, QV_RECIP_ORGANIZER);
        for (std::size_t i = 0; i < responses.size(); ++i)
            qvtest::add_recipient(*meeting, "", kAttendees[i], i == 2 ? QV_RECIP_CC : QV_RECIP_TO).response =
                responses[i];
        qvtest::add_part(*meeting, work.dir(), QV_PART_TEXT_BODY, "", "Agenda: numbers");
        ASSERT_EQ(WriteMsgImpl(session, meeting.get(), work.dir().c_str()), 0) << log.text();
        CloseWriteImpl(session, 0);
    }
    // Reads the mailbox's `folder` as a source with the given switches; the
    // statuses the host was given.
    std::vector<int> Read(const std::string &mailbox, const std::string &folder, const std::string &switches)
    {
        LogoffSession(session, 0);
        const std::string all = " /CAFILE " + server->ca_file() + " " + switches;
        qvcom_set_switches(all.c_str());
        EXPECT_EQ(conntest::LogonAs(session, mailbox, Password(mailbox), server->ews_url(), 1), kLogonOk)
            << log.text();
        GetFolderNamesImpl(session, [](char *) QV_STDCALL { return 0; });
        std::vector<int> statuses;
        gStatuses = &statuses;
        EXPECT_EQ(conntest::ReadFolder(session, work.dir(), folder, &KeepRecord, &CountStatus, 21).answer, 0)
            << log.text();
        gStatuses = nullptr;
        return statuses;
    }
    // The organizer's meeting read back: each recipient's response.
    std::map<std::string, int> Responses()
    {
        std::map<std::string, int> responses;
        gResponses = &responses;
        Read(kOrganizer, "Calendar", "");
        gResponses = nullptr;
        return responses;
    }
};

TEST_F(MeetingResponseSandbox, RefusedAnswerIsLoggedAndTheItemStillCounted)
{
    WriteMeeting("Refused in the answer", {1});
    WriteMeeting("Refused by status", {1});
    // The first answer is refused inside an HTTP 200 answer, the second with 400.
    InjectFault(R"([{"operation":"CreateItem","kind":"response_error",)"
                R"("response_code":"ErrorInvalidReferenceItem"},)"
                R"({"operation":"CreateItem","kind":"http_status","status":400}])");
    const std::vector<int> statuses = Read("ann@example.com", "Inbox", "/D207");
    EXPECT_EQ(statuses, (std::vector<int>{QV_STATUS_CONVERTED, QV_STATUS_CONVERTED}));
    EXPECT_EQ(log.count("QV Warning: unable to send invite response"), 2u) << log.text();
    EXPECT_TRUE(log.has("ErrorInvalidReferenceItem")) << log.text();
}

// Both runs of the mode: the organizer's calendar is written with /D207
// (responses block and invitations), each attendee's mailbox is then read
// with /D207, and the organizer's item ends with the original answers.
TEST_F(MeetingResponseSandbox, WrittenMeetingCarriesTheAnswersOverInTwoRuns)
{
    WriteMeeting("Migrated review", {1, 2, 3, 0});
    for (int i = 0; i < 4; ++i) // each attendee's request answers for the attendee
        EXPECT_EQ(Read(kAttendees[i], "Inbox", "/D207").size(), 1u) << kAttendees[i] << "\n" << log.text();
    // 1 accepted, 2 declined, 3 tentative, 0 no answer; the organizer's own entry.
    EXPECT_EQ(Responses(), (std::map<std::string, int>{{"ann@example.com", 1}, {"bob@example.com", 2},
                                                       {"carol@example.com", 3}, {"dave@example.com", 0},
                                                       {kOrganizer, 1}}));
    EXPECT_FALSE(log.has("unable to send invite response")) << log.text();
}

} // namespace

#endif // QV_SANDBOX_PATH
