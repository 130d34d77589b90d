// The demo mailbox's tasks: one of each kind a migration has to carry.
// They are made from <t:Task> elements exactly as CreateItem makes them,
// at fixed times, so two seeded stores hold the same tasks.
#include <libxml/parser.h>

#include <memory>
#include <stdexcept>

#include "task_item.hpp"

namespace sandbox {

namespace {

struct DemoTask {
    const char *created; // UTC
    const char *children; // of <t:Task>, in schema order
};

// "Lease draft.txt": a small text attachment.
constexpr const char *kLeaseDraft = "TGVhc2UgZHJhZnQ6IDMgeWVhcnMsIHJlbnQgcmV2aWV3IGluIHllYXIgMi4K";

const DemoTask kDemoTasks[] = {
    {"2026-02-20T09:00:00Z",
     "<t:Subject>Renew the office lease</t:Subject>"
     "<t:Body BodyType=\"Text\">Compare the two offers and send the signed copy back.</t:Body>"
     "<t:Attachments><t:FileAttachment><t:Name>Lease draft.txt</t:Name>"
     "<t:Content>%LEASE%</t:Content></t:FileAttachment></t:Attachments>"
     "<t:Categories><t:String>Office</t:String></t:Categories><t:Importance>High</t:Importance>"
     "<t:DueDate>2026-03-20T00:00:00Z</t:DueDate><t:PercentComplete>40</t:PercentComplete>"
     "<t:StartDate>2026-03-02T00:00:00Z</t:StartDate><t:Status>InProgress</t:Status>"},
    {"2026-01-03T18:30:00Z",
     "<t:Subject>Someday: learn the cello</t:Subject>"
     "<t:Body BodyType=\"Text\">No date, no hurry.</t:Body><t:Importance>Low</t:Importance>"},
    {"2026-01-10T08:00:00Z",
     "<t:Subject>File the 2025 tax return</t:Subject>"
     "<t:Body BodyType=\"Text\">Receipts are in the blue folder.</t:Body>"
     "<t:Categories><t:String>Home</t:String><t:String>Money</t:String></t:Categories>"
     "<t:CompleteDate>2026-02-14T16:00:00Z</t:CompleteDate><t:DueDate>2026-03-31T00:00:00Z</t:DueDate>"
     "<t:StartDate>2026-01-12T00:00:00Z</t:StartDate>"},
    {"2026-01-05T07:45:00Z",
     "<t:Subject>Weekly team report</t:Subject>"
     "<t:Body BodyType=\"Text\">Every second Friday: numbers, risks, next steps.</t:Body>"
     "<t:DueDate>2026-01-09T00:00:00Z</t:DueDate>"
     "<t:Recurrence><t:WeeklyRecurrence><t:Interval>2</t:Interval><t:DaysOfWeek>Friday</t:DaysOfWeek>"
     "</t:WeeklyRecurrence><t:NumberedRecurrence><t:StartDate>2026-01-09</t:StartDate>"
     "<t:NumberOfOccurrences>10</t:NumberOfOccurrences></t:NumberedRecurrence></t:Recurrence>"
     "<t:StartDate>2026-01-09T00:00:00Z</t:StartDate>"},
    {"2026-03-25T12:10:00Z",
     "<t:Subject>Follow-up with Dr. Ruiz</t:Subject><t:Sensitivity>Private</t:Sensitivity>"
     "<t:Body BodyType=\"Text\">Bring the test results.</t:Body>"
     "<t:ReminderDueBy>2026-04-01T07:30:00Z</t:ReminderDueBy><t:ReminderIsSet>true</t:ReminderIsSet>"
     "<t:DueDate>2026-04-01T00:00:00Z</t:DueDate>"},
    {"2026-02-01T10:00:00Z",
     "<t:Subject>Water the plants</t:Subject>"
     "<t:Body BodyType=\"Text\">Three days after the last watering.</t:Body>"
     "<t:Recurrence><t:DailyRegeneration><t:Interval>3</t:Interval></t:DailyRegeneration>"
     "<t:NoEndRecurrence><t:StartDate>2026-02-01</t:StartDate></t:NoEndRecurrence></t:Recurrence>"},
    {"2026-03-05T15:20:00Z",
     "<t:Subject>Über die Straße: Angebot prüfen</t:Subject>"
     "<t:Body BodyType=\"Text\">Zoë sends the figures; waiting for them.</t:Body>"
     "<t:PercentComplete>25</t:PercentComplete><t:Status>WaitingOnOthers</t:Status>"},
};

struct DocFree {
    void operator()(xmlDoc *d) const { xmlFreeDoc(d); }
};

} // namespace

int seed_demo_tasks(MailStore &store, std::int64_t mailbox, const std::string &owner) {
    auto folder = store.distinguished_folder(mailbox, "tasks");
    if (!folder) throw std::runtime_error("the mailbox has no Tasks folder");
    int made = 0;
    for (const DemoTask &t : kDemoTasks) {
        std::string children = t.children;
        if (auto at = children.find("%LEASE%"); at != std::string::npos) children.replace(at, 7, kLeaseDraft);
        const std::string xml = std::string("<t:Task xmlns:t=\"") + kTypesNs + "\">" + children + "</t:Task>";
        std::unique_ptr<xmlDoc, DocFree> doc(
            xmlReadMemory(xml.data(), static_cast<int>(xml.size()), nullptr, "UTF-8", XML_PARSE_NONET));
        if (!doc) throw std::runtime_error("a demo task is not well-formed XML");
        EwsError error;
        auto item = task_from_element(owner, SIZE_MAX, *parse_ews_time(t.created), xmlDocGetRootElement(doc.get()), error);
        if (!item) throw std::runtime_error("demo task refused: " + error.code + " " + error.text);
        item->info.mailbox = mailbox;
        item->info.folder = folder->id;
        store.add_item(*item);
        ++made;
    }
    return made;
}

} // namespace sandbox
