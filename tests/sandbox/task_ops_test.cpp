// Tasks in the sandbox, in process: how Exchange keeps Status,
// PercentComplete and CompleteDate consistent (EWS reference, "Status" and
// "PercentComplete": setting CompleteDate has the same effect as setting
// PercentComplete to 100 or Status to Completed, and the last processed of
// them decides), the requests it refuses, and full answers checked against
// the schema.
#include <gtest/gtest.h>

#include "ops_harness.hpp"

using namespace sandbox;
using ops_test::Answer;
using ops_test::OpsHarness;
using namespace ops_test;

namespace {

std::string create(const std::string &children) {
    return "<m:CreateItem MessageDisposition=\"SaveOnly\"><m:Items><t:Task>" + children +
           "</t:Task></m:Items></m:CreateItem>";
}

std::string get_all(const std::string &id) {
    return get_item(item_id(id), "AllProperties",
                    "<t:BodyType>Text</t:BodyType>" + additional("<t:ExtendedFieldURI DistinguishedPropertySetId="
                                                                 "\"Task\" PropertyId=\"33025\" PropertyType=\"Integer\"/>"));
}

const std::string kTask = "//m:Items/t:Task/";

struct Made {
    std::string id;
    Answer got;
};

Made make(OpsHarness &h, const std::string &children) {
    Answer made = h.run(create(children));
    EXPECT_EQ(made.codes(), std::vector<std::string>{"NoError"}) << made.xml();
    std::string id = made.one(kTask + "t:ItemId/@Id");
    return {id, h.run(get_all(id))};
}

TEST(Tasks, TheLastOfStatusPercentAndCompleteDateDecides) {
    OpsHarness h;
    struct Case {
        const char *children;
        const char *status, *percent;
        bool has_complete_date;
    };
    const Case cases[] = {
        {"<t:CompleteDate>2026-01-01T00:00:00Z</t:CompleteDate><t:PercentComplete>100</t:PercentComplete>"
         "<t:Status>NotStarted</t:Status>",
         "NotStarted", "0", false},
        {"<t:CompleteDate>2026-01-01T00:00:00Z</t:CompleteDate><t:PercentComplete>50</t:PercentComplete>",
         "InProgress", "50", false},
        {"<t:PercentComplete>30</t:PercentComplete><t:Status>Completed</t:Status>", "Completed", "100", true},
        {"<t:CompleteDate>2026-01-01T00:00:00Z</t:CompleteDate>", "Completed", "100", true},
        {"<t:PercentComplete>20</t:PercentComplete><t:Status>Deferred</t:Status>", "Deferred", "20", false},
        {"", "NotStarted", "0", false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.children);
        Made m = make(h, std::string("<t:Subject>t</t:Subject>") + c.children);
        EXPECT_EQ(m.got.one(kTask + "t:Status"), c.status);
        EXPECT_EQ(m.got.one(kTask + "t:PercentComplete"), c.percent);
        EXPECT_EQ(m.got.count(kTask + "t:CompleteDate"), c.has_complete_date ? 1u : 0u);
        EXPECT_EQ(m.got.one(kTask + "t:IsComplete"), std::string(c.status) == "Completed" ? "true" : "false");
    }
    // A given completion date is kept.
    Made dated = make(h, "<t:CompleteDate>2026-01-01T10:00:00Z</t:CompleteDate>");
    EXPECT_EQ(dated.got.one(kTask + "t:CompleteDate"), "2026-01-01T10:00:00Z");
    EXPECT_EQ(dated.got.one("//t:ExtendedProperty/t:Value"), "2") << "PidLidTaskStatus: complete";
    // Updates follow the same rule: exchangelib_tasks_test.py changes them.
}

TEST(Tasks, RefusedTasksStoreNothing) {
    OpsHarness h;
    const std::pair<const char *, const char *> refused[] = {
        {"<t:PercentComplete>150</t:PercentComplete>", "ErrorInvalidPercentCompleteValue"},
        {"<t:IsComplete>true</t:IsComplete>", "ErrorInvalidPropertySet"},
        {"<t:Recurrence><t:DailyRecurrence><t:Interval>0</t:Interval></t:DailyRecurrence>"
         "<t:NoEndRecurrence><t:StartDate>2026-01-05</t:StartDate></t:NoEndRecurrence></t:Recurrence>",
         "ErrorCalendarInvalidRecurrence"},
        {"<t:Recurrence><t:DailyRegeneration><t:Interval>2</t:Interval></t:DailyRegeneration>"
         "<t:EndDateRecurrence><t:StartDate>2026-01-05</t:StartDate><t:EndDate>2025-12-31</t:EndDate>"
         "</t:EndDateRecurrence></t:Recurrence>",
         "ErrorCalendarInvalidRecurrence"},
        {"<t:ItemClass>IPM.Note</t:ItemClass>", "ErrorObjectTypeChanged"},
    };
    for (const auto &[children, code] : refused) {
        SCOPED_TRACE(children);
        Answer a = h.run(create(std::string(children)));
        EXPECT_EQ(a.codes(), std::vector<std::string>{code}) << a.xml();
    }
    EXPECT_EQ(h.store().distinguished_folder(h.home(), "tasks")->total, 0);
}

// Every element of a full task in one answer, in schema order (the harness
// validates it).
TEST(Tasks, AFullRecurringTaskIsAnsweredWhole) {
    OpsHarness h;
    Made m = make(h, request_file("full-task.xml"));
    const Answer &got = m.got;
    EXPECT_EQ(got.fields(kTask, "t:ItemClass t:Body t:ReminderDueBy t:Status t:IsRecurring "
                                "t:Recurrence/t:RelativeMonthlyRecurrence/t:DayOfWeekIndex "
                                "t:Recurrence/t:NumberedRecurrence/t:StartDate t:Companies/t:String t:TotalWork"),
              "t:ItemClass=IPM.Task; t:Body=numbers; t:ReminderDueBy=2026-01-08T08:00:00Z; t:Status=InProgress; "
              "t:IsRecurring=true; t:Recurrence/t:RelativeMonthlyRecurrence/t:DayOfWeekIndex=Second; "
              "t:Recurrence/t:NumberedRecurrence/t:StartDate=2026-01-09+00:00; t:Companies/t:String=ACME; "
              "t:TotalWork=60");
}

} // namespace
