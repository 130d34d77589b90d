// Task answers into records and records into CreateItem requests, without
// a server: field rules, every recurrence pattern and range there and back,
// and the XML text rules of request texts.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <tuple>

#include "qv/qvcom.h"
#include "qv/qvcom.hpp"
#include "qv_test_support.hpp"
#include "tasks/task_reader.hpp"
#include "tasks/task_recurrence.hpp"
#include "tasks/task_writer.hpp"
#include "test_support.hpp"
#include "transport/response_writer.hpp"
#include "transport/soap_request.hpp"

namespace {

using namespace qvamz;
using namespace qvamz::tasks;
using qvtest::filetime_utc;

// A GetItem answer in the form the transport stores (one tag or text per line).
std::string Answer(const std::string &task_children)
{
    return conntest::StoredForm(conntest::Success(
        "GetItem", "<m:Items><t:Task><t:ItemId Id=\"AAA\" ChangeKey=\"CK\"/>" + task_children +
                       "</t:Task></m:Items>"));
}

class TaskRecord : public ::testing::Test {
  protected:
    void TearDown() override { com_Deallocate_All(msg.get(), work.dir().c_str()); }
    void Parse(const std::string &children) { ParseTaskText(Answer(children), msg.get(), work.dir()); }
    std::string Notes() const
    {
        for (int i = 0; i < msg->part_count; ++i)
            if (msg->parts[i]->part_type == QV_PART_TEXT_BODY)
                return conntest::ReadFile(qvcom::part_file_path(work.dir(), msg->msg_number, i));
        return "<none>";
    }
    std::string Request() { return TaskRequestBody(*msg, "FOLDER", work.dir(), filetime_utc(2026, 6, 1)); }

    conntest::ScratchDir work;
    qvtest::Record msg = qvtest::new_record(3);
};

// The ordinary fields travel in the end-to-end copy of the demo tasks; here
// what that copy cannot show.
TEST_F(TaskRecord, RangeStartDateIsNotTheTasksAndEntitiesAreUndone)
{
    Parse("<t:Subject>Plan &amp; pack</t:Subject>"
          "<t:Body BodyType=\"Text\">first line\r\n&lt;second&gt; line</t:Body>"
          "<t:Importance>High</t:Importance><t:ReminderDueBy>2026-03-19T08:30:00Z</t:ReminderDueBy>"
          "<t:ReminderIsSet>true</t:ReminderIsSet><t:ReminderMinutesBeforeStart>15"
          "</t:ReminderMinutesBeforeStart>"
          // The range's StartDate comes first and must not be taken for the task's.
          "<t:Recurrence><t:DailyRecurrence><t:Interval>1</t:Interval></t:DailyRecurrence>"
          "<t:NoEndRecurrence><t:StartDate>2026-01-01+00:00</t:StartDate></t:NoEndRecurrence>"
          "</t:Recurrence><t:StartDate>2026-03-02T00:00:00Z</t:StartDate>");
    EXPECT_STREQ(msg->title, "Plan & pack");
    EXPECT_EQ(Notes(), "first line\r\n<second> line");
    EXPECT_EQ(+msg->priority, 2) << "mail readers take the priority";
    EXPECT_EQ(+msg->reminder_minutes, 15);
    EXPECT_EQ(+msg->start_time, filetime_utc(2026, 3, 2));
    EXPECT_EQ(+msg->recur_type, 6);
    EXPECT_EQ(+msg->entry_type, 5) << "the host sees a task";
}

TEST_F(TaskRecord, ReminderOffAndMissingValuesLeaveTheirDefaults)
{
    Parse("<t:Subject>quiet</t:Subject><t:ReminderDueBy>2026-03-19T08:30:00Z</t:ReminderDueBy>"
          "<t:ReminderIsSet>false</t:ReminderIsSet><t:ReminderMinutesBeforeStart>15"
          "</t:ReminderMinutesBeforeStart><t:Importance>Low</t:Importance><t:PercentComplete>0"
          "</t:PercentComplete><t:Status>NotStarted</t:Status>");
    // Reminder set, minutes and time, importance, priority, status, parts (no
    // body: no notes), recurrence.
    EXPECT_EQ(std::make_tuple(+msg->reminder_set, +msg->reminder_minutes, +msg->reminder_time,
                              +msg->importance, +msg->priority, +msg->task_status,
                              +msg->part_count, +msg->recur_type),
              std::make_tuple(0, 0, 0u, 0, 0, 1, 0, 0));
    // Written back, the task keeps its reminder off.
    EXPECT_EQ(Request().find("Reminder"), std::string::npos);
}

TEST_F(TaskRecord, RegeneratingPatternsBecomeANoteAfterTheBody)
{
    for (const auto &[element, word] : {std::pair{"DailyRegeneration", "daily"},
                                        {"WeeklyRegeneration", "weekly"},
                                        {"MonthlyRegeneration", "monthly"},
                                        {"YearlyRegeneration", "yearly"}}) {
        SCOPED_TRACE(element);
        com_Deallocate_All(msg.get(), work.dir().c_str());
        com_ResetObject(msg.get());
        Parse(std::string("<t:Body BodyType=\"Text\">water the plants</t:Body><t:Recurrence><t:") +
              element + "><t:Interval>3</t:Interval></t:" + element +
              "><t:NoEndRecurrence><t:StartDate>2026-02-01+00:00</t:StartDate></t:NoEndRecurrence>"
              "</t:Recurrence>");
        EXPECT_EQ(Notes(), "water the plants" + RecurrenceNote(word));
        EXPECT_EQ(+msg->recur_type, 0) << "the record cannot carry a regenerating pattern";
        EXPECT_EQ(Request().find("<t:Recurrence>"), std::string::npos);
    }
}

// Each recurring pattern and range: read into the record's recur_* fields,
// then written back as the same element.
TEST_F(TaskRecord, EveryPatternAndRangeIsReadAndWrittenBack)
{
    struct Case {
        const char *recurrence;
        int type, interval, days, week_index, month, day_of_month, range, count;
        qv_filetime end;
    };
    const Case cases[] = {
        {"<t:WeeklyRecurrence>\n<t:Interval>2</t:Interval>\n<t:DaysOfWeek>Monday Friday</t:DaysOfWeek>\n"
         "</t:WeeklyRecurrence>\n<t:NumberedRecurrence>\n<t:StartDate>2026-01-05</t:StartDate>\n"
         "<t:NumberOfOccurrences>6</t:NumberOfOccurrences>\n</t:NumberedRecurrence>\n",
         5, 2, 0x22, 0, 0, 0, 0, 6, 0},
        {"<t:DailyRecurrence>\n<t:Interval>3</t:Interval>\n</t:DailyRecurrence>\n<t:EndDateRecurrence>\n"
         "<t:StartDate>2026-01-05</t:StartDate>\n<t:EndDate>2026-02-01</t:EndDate>\n</t:EndDateRecurrence>\n",
         6, 3, 0, 0, 0, 0, 1, 0, filetime_utc(2026, 2, 1)},
        {"<t:AbsoluteMonthlyRecurrence>\n<t:Interval>1</t:Interval>\n<t:DayOfMonth>15</t:DayOfMonth>\n"
         "</t:AbsoluteMonthlyRecurrence>\n<t:NoEndRecurrence>\n<t:StartDate>2026-01-05</t:StartDate>\n"
         "</t:NoEndRecurrence>\n",
         3, 1, 0, 0, 0, 15, 2, 0, 0},
        {"<t:RelativeMonthlyRecurrence>\n<t:Interval>2</t:Interval>\n<t:DaysOfWeek>Weekday</t:DaysOfWeek>\n"
         "<t:DayOfWeekIndex>Last</t:DayOfWeekIndex>\n</t:RelativeMonthlyRecurrence>\n<t:NoEndRecurrence>\n"
         "<t:StartDate>2026-01-05</t:StartDate>\n</t:NoEndRecurrence>\n",
         4, 2, 0x3E, 5, 0, 0, 2, 0, 0},
        {"<t:AbsoluteYearlyRecurrence>\n<t:DayOfMonth>4</t:DayOfMonth>\n<t:Month>July</t:Month>\n"
         "</t:AbsoluteYearlyRecurrence>\n<t:NumberedRecurrence>\n<t:StartDate>2026-01-05</t:StartDate>\n"
         "<t:NumberOfOccurrences>3</t:NumberOfOccurrences>\n</t:NumberedRecurrence>\n",
         1, 1, 0, 0, 7, 4, 0, 3, 0},
        {"<t:RelativeYearlyRecurrence>\n<t:DaysOfWeek>Thursday</t:DaysOfWeek>\n<t:DayOfWeekIndex>Fourth"
         "</t:DayOfWeekIndex>\n<t:Month>November</t:Month>\n</t:RelativeYearlyRecurrence>\n"
         "<t:EndDateRecurrence>\n<t:StartDate>2026-01-05</t:StartDate>\n<t:EndDate>2030-12-31</t:EndDate>\n"
         "</t:EndDateRecurrence>\n",
         2, 1, 0x10, 4, 11, 0, 1, 0, filetime_utc(2030, 12, 31)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.recurrence);
        com_Deallocate_All(msg.get(), work.dir().c_str());
        com_ResetObject(msg.get());
        std::string compact = c.recurrence;
        std::erase(compact, '\n');
        Parse("<t:Recurrence>" + compact + "</t:Recurrence><t:StartDate>2026-01-05T00:00:00Z</t:StartDate>");
        // type, interval, days, week index, month, day of month, range, count, end
        EXPECT_EQ((std::tuple{
                      +msg->recur_type, +msg->recur_interval, +msg->recur_days, +msg->recur_week_index,
                      +msg->recur_month, +msg->recur_day_of_month, +msg->recur_range, +msg->recur_count,
                      +msg->recur_end}),
                  std::tuple(c.type, c.interval, c.days, c.week_index, c.month, c.day_of_month, c.range,
                             c.count, c.end));
        EXPECT_EQ(TaskRecurrenceElement(*msg, 0), "<t:Recurrence>\n" + std::string(c.recurrence) + "</t:Recurrence>\n");
    }
}

TEST_F(TaskRecord, RequestLeavesOutNullDatesAndUnknownStatus)
{
    qvtest::set_text(msg->title, "bare");
    const std::string body = Request();
    for (const char *absent : {"ReminderDueBy", "ReminderIsSet", "CompleteDate", "DueDate",
                               "StartDate", "<t:Status>", "Recurrence", "<t:Body", "Categories"})
        EXPECT_EQ(body.find(absent), std::string::npos) << absent;
    EXPECT_NE(body.find("<t:PercentComplete>0</t:PercentComplete>"), std::string::npos);
    EXPECT_NE(body.find("PropertyTag=\"0x3004\""), std::string::npos);
    for (const auto &[importance, name] : {std::pair{0, "Low"}, {1, "Normal"}, {2, "High"}, {7, "Normal"}}) {
        msg->importance = importance;
        EXPECT_NE(Request().find(std::string("<t:Importance>") + name + "<"), std::string::npos) << importance;
    }

    msg->task_status = 3;
    qvtest::set_text(msg->categories, "Blue; Work;;");
    msg->recur_type = 5, msg->recur_days = 2; // weekly, no dates: the range starts on the day given
    const std::string full = Request();
    EXPECT_NE(full.find("<t:Status>Completed</t:Status>"), std::string::npos);
    EXPECT_NE(full.find("<t:Categories>\n<t:String>Blue</t:String>\n<t:String>Work</t:String>\n"
                        "</t:Categories>"),
              std::string::npos);
    EXPECT_NE(full.find("<t:StartDate>2026-06-01</t:StartDate>"), std::string::npos);
}

// Characters XML forbids are left out of subject, categories and body, a
// "]]>" in the body survives as text, and the whole request validates.
TEST_F(TaskRecord, RequestTextsFollowTheXmlTextRules)
{
    qvtest::set_text(msg->title, "A<B \x01\xEF\xBF\xBE\xED\xA0\x80\xFF end");
    qvtest::set_text(msg->categories, "x\x02y");
    const std::string body_text = std::string("keep ]]> this\0and\x0B that", 23);
    qvtest::add_part(*msg, work.dir(), QV_PART_TEXT_BODY, "", nullptr);
    conntest::WriteFile(qvcom::part_file_path(work.dir(), msg->msg_number, 0), body_text);
    msg->start_time = filetime_utc(2026, 1, 5), msg->end_time = filetime_utc(2026, 1, 9);
    msg->reminder_time = filetime_utc(2026, 1, 8, 9), msg->complete_date = filetime_utc(2026, 1, 7);
    msg->task_status = 3, msg->percent_complete = 100;
    msg->recur_type = 4, msg->recur_days = 0x3E, msg->recur_week_index = 5;
    msg->recur_range = 1, msg->recur_end = filetime_utc(2026, 12, 31);
    const std::string request = Request();
    EXPECT_NE(request.find("<t:Subject>A&lt;B  end</t:Subject>"), std::string::npos) << request;
    EXPECT_NE(request.find("<t:String>xy</t:String>"), std::string::npos);

    // The body is CDATA split at its "]]>"; the envelope as it is posted validates.
    EXPECT_NE(request.find("<t:Body BodyType=\"Text\"><![CDATA[keep ]]]]><![CDATA[> thisand that]]></t:Body>"),
              std::string::npos) << request;
    std::string findings;
    EXPECT_TRUE(conntest::TextValidatesAgainstSchema(SoapEnvelope(Session{}, "CreateItem", "", request), &findings))
        << findings << "\n" << request;
}

} // namespace
