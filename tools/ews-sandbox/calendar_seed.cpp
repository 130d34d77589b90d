// The demo calendar of `seed --demo`: every recurrence pattern, a weekly
// series across a daylight saving change with one occurrence moved and one
// deleted, all-day events (one of several days), a private event, and a
// meeting someone else organised, with its attendees' responses.  Fixed
// dates and UIDs, so two stores seeded alike hold the same items.
#include "calendar_seed.hpp"

#include "calendar_recur.hpp"
#include "calendar_zone.hpp"

namespace sandbox {

namespace {

UnixTime at(const char *text) { return *parse_ews_time(text); }

RecurrenceRule pattern(const char *name, const char *range, const char *start_date) {
    RecurrenceRule r;
    r.pattern = name;
    r.range = range;
    r.start_date = start_date;
    return r;
}

struct DemoEvent {
    std::string subject;
    CalendarData data;
    int sensitivity = 0;
    std::string organizer_name, organizer_address; // empty: the mailbox owner
    std::vector<std::string> categories;
};

DemoEvent event(std::string subject, CalendarData data, int sensitivity = 0) {
    DemoEvent e;
    e.subject = std::move(subject);
    e.data = std::move(data);
    e.sensitivity = sensitivity;
    return e;
}

CalendarData timed(const char *zone, const char *start, int minutes, const char *location = "") {
    CalendarData d;
    d.zone_id = zone;
    d.start = at(start);
    d.end = d.start + minutes * 60;
    d.location = location;
    return d;
}

// All-day from one local date to the morning after another.
CalendarData all_day(const char *zone, LocalTime first, LocalTime last) {
    CalendarData d;
    d.zone_id = zone;
    d.all_day = true;
    d.busy = "Free";
    d.start = local_to_utc(zone, first);
    last.day += 1; // ICU's calendar carries an overflowing day into the next month
    d.end = local_to_utc(zone, last);
    return d;
}

std::vector<DemoEvent> demo_events() {
    std::vector<DemoEvent> out;
    CalendarData daily = timed("W. Europe Standard Time", "2026-03-02T08:15:00Z", 15, "Board room");
    daily.recurrence = pattern("Daily", "Numbered", "2026-03-02");
    daily.recurrence->count = 10;
    out.push_back(event("Daily stand-up", daily));

    // New York moves its clocks on 8 March 2026: 09:00 local stays 09:00.
    CalendarData weekly = timed("Eastern Standard Time", "2026-02-23T14:00:00Z", 30, "Call bridge");
    weekly.recurrence = pattern("Weekly", "Numbered", "2026-02-23");
    weekly.recurrence->days_of_week = "Monday";
    weekly.recurrence->count = 8;
    weekly.body = "Agenda: status, blockers, next steps.";
    out.push_back(event("Team sync", weekly));
    out.back().categories = {"Blue category"};

    CalendarData month_end = timed("", "2026-01-31T16:00:00Z", 60);
    month_end.recurrence = pattern("AbsoluteMonthly", "EndDate", "2026-01-01");
    month_end.recurrence->day_of_month = 31;
    month_end.recurrence->end_date = "2026-12-31";
    out.push_back(event("Month-end report", month_end));

    CalendarData first_monday = timed("W. Europe Standard Time", "2026-01-05T09:00:00Z", 60);
    first_monday.recurrence = pattern("RelativeMonthly", "EndDate", "2026-01-01");
    first_monday.recurrence->days_of_week = "Monday";
    first_monday.recurrence->day_of_week_index = "First";
    first_monday.recurrence->end_date = "2026-12-31";
    out.push_back(event("Planning (first Monday)", first_monday));

    CalendarData anniversary = all_day("W. Europe Standard Time", {2026, 2, 14}, {2026, 2, 14});
    anniversary.recurrence = pattern("AbsoluteYearly", "NoEnd", "2026-02-14");
    anniversary.recurrence->day_of_month = 14;
    anniversary.recurrence->month = "February";
    out.push_back(event("Anniversary", anniversary));

    CalendarData thanksgiving = all_day("Eastern Standard Time", {2025, 11, 27}, {2025, 11, 27});
    thanksgiving.recurrence = pattern("RelativeYearly", "Numbered", "2025-01-01");
    thanksgiving.recurrence->days_of_week = "Thursday";
    thanksgiving.recurrence->day_of_week_index = "Fourth";
    thanksgiving.recurrence->month = "November";
    thanksgiving.recurrence->count = 5;
    out.push_back(event("Thanksgiving", thanksgiving));

    out.push_back(event("Public holiday", all_day("W. Europe Standard Time", {2026, 5, 1}, {2026, 5, 1})));
    CalendarData trip = all_day("W. Europe Standard Time", {2026, 9, 14}, {2026, 9, 17});
    trip.busy = "OOF";
    trip.location = "Lisboa";
    out.push_back(event("Conference trip", trip));
    out.push_back(event("Doctor", timed("W. Europe Standard Time", "2026-04-15T06:00:00Z", 60), 2));

    CalendarData meeting = timed("W. Europe Standard Time", "2026-05-20T12:00:00Z", 90, "Salle Monet");
    meeting.my_response = "Accept";
    meeting.body = "Quarterly review of the migration project.";
    out.push_back(event("Quarterly review", meeting));
    out.back().organizer_name = "Zoë Martin";
    out.back().organizer_address = "zoe.martin@example.fr";
    return out;
}

} // namespace

std::size_t seed_demo_calendar(MailStore &store, std::int64_t mailbox) {
    auto folder = store.distinguished_folder(mailbox, "calendar");
    if (!folder) return 0;
    const std::string owner = store.mailbox_address(mailbox);
    const UnixTime created = at("2026-01-02T09:00:00Z");
    std::size_t serial = 0;
    for (DemoEvent &e : demo_events()) {
        ++serial;
        CalendarData &d = e.data;
        d.uid = generated_uid("demo-calendar-" + std::to_string(serial));
        if (!e.organizer_address.empty()) {
            d.required = {{owner.substr(0, owner.find('@')), owner, "Accept", created},
                          {"Jürgen Müller", "juergen.mueller@example.de", "Tentative", created}};
            d.optional = {{"Alex Chen", "alex.chen@example.com", "Decline", created}};
        }
        d.is_meeting = !d.required.empty();
        if (d.recurrence) {
            auto first = first_series_start(d);
            d.end = *first + (d.end - d.start);
            d.start = *first;
        }
        if (e.subject == "Team sync") {
            // The third Monday (9 March, after the change) moved two hours
            // later; the fifth (23 March) cancelled.
            auto places = expand_series(d, INT64_MAX, 5);
            d.modified.push_back({places[2].start, places[2].start + 7200, places[2].start + 9000,
                                  "Team sync (moved)", std::nullopt, std::nullopt, std::nullopt});
            d.deleted.push_back(places[4].start);
        }
        StoredItem item;
        ItemInfo &i = item.info;
        i.item_class = kAppointmentClass;
        i.mailbox = mailbox;
        i.folder = folder->id;
        i.subject = e.subject;
        i.sensitivity = e.sensitivity;
        i.categories = e.categories;
        i.message_flags = 0x1;
        i.date_received = i.date_created = i.last_modified = created;
        i.from_address = e.organizer_address.empty() ? owner : e.organizer_address;
        i.from_name = e.organizer_address.empty() ? owner.substr(0, owner.find('@')) : e.organizer_name;
        item.extended.push_back({"Common:id:34051", "Boolean", {"true"}}); // reminder 15 minutes before
        item.extended.push_back({"Common:id:34049", "Integer", {"15"}});
        write_calendar(item, d);
        store.add_item(item);
    }
    return serial;
}

} // namespace sandbox
