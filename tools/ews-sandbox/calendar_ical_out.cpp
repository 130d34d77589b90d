// The MimeContent of a calendar item.  Exchange keeps no MIME text for
// calendar items and builds one when a client asks ([MS-OXCICAL] describes
// the iCalendar it converts to and from); the sandbox does the same from
// the stored model, so the text always shows the item as it is now, after
// updates and occurrence changes.
#include <cstdlib>

#include "calendar_ical.hpp"
#include "calendar_ical_rule.hpp"
#include "calendar_zone.hpp"
#include "item_props.hpp"
#include "mail_codec.hpp"
#include "mime_build.hpp"
#include "mime_summary.hpp"

namespace sandbox {

namespace {

// Times of one item: in its zone (with the zone's VTIMEZONE in the
// calendar) or in UTC; dates for all-day items.
class TimeWriter {
  public:
    TimeWriter(const CalendarData &d, icalcomponent *calendar) : zone_id_(d.zone_id), all_day_(d.all_day) {
        std::string text = vtimezone_of(d.zone_id, d.start);
        if (text.empty()) return;
        IcalComponentPtr wrapper(icalparser_parse_string(("BEGIN:VCALENDAR\r\n" + text + "END:VCALENDAR\r\n").c_str()));
        icalcomponent *vtz = wrapper ? icalcomponent_get_first_component(wrapper.get(), ICAL_VTIMEZONE_COMPONENT)
                                     : nullptr;
        if (!vtz) return;
        icalcomponent_remove_component(wrapper.get(), vtz);
        icalcomponent_add_component(calendar, vtz);
        in_zone_ = true;
    }

    // Sets the time on a new property and, when in a zone, its TZID.
    icalproperty *add(icalcomponent *event, icalproperty *(*make)(icaltimetype), UnixTime t) const {
        icalproperty *p = make(value(t));
        if (in_zone_ && !all_day_) icalproperty_add_parameter(p, icalparameter_new_tzid(zone_id_.c_str()));
        icalcomponent_add_property(event, p);
        return p;
    }

  private:
    // A date, a UTC time, or the wall-clock time in the zone (floating,
    // with the TZID parameter saying where).
    icaltimetype value(UnixTime t) const {
        if (!in_zone_ && !all_day_)
            return icaltime_from_timet_with_zone(static_cast<time_t>(t), 0, ical_utc());
        LocalTime l = utc_to_local(zone_id_, t);
        icaltimetype v = all_day_ ? icaltime_null_date() : icaltime_null_time();
        v.year = l.year;
        v.month = l.month;
        v.day = l.day;
        if (!all_day_) {
            v.hour = l.hour;
            v.minute = l.minute;
            v.second = l.second;
        }
        return v;
    }

    std::string zone_id_;
    bool all_day_;
    bool in_zone_ = false; // the VTIMEZONE was added
};

icalparameter *partstat_of(const std::string &response) {
    icalparameter_partstat s = ICAL_PARTSTAT_NEEDSACTION;
    if (response == "Accept") s = ICAL_PARTSTAT_ACCEPTED;
    else if (response == "Decline") s = ICAL_PARTSTAT_DECLINED;
    else if (response == "Tentative") s = ICAL_PARTSTAT_TENTATIVE;
    return icalparameter_new_partstat(s);
}

void add_people(icalcomponent *event, const ItemInfo &info, const CalendarData &d) {
    if (!info.from_address.empty()) {
        icalproperty *o = icalproperty_new_organizer(("mailto:" + info.from_address).c_str());
        if (!info.from_name.empty()) icalproperty_add_parameter(o, icalparameter_new_cn(info.from_name.c_str()));
        icalcomponent_add_property(event, o);
    }
    auto add = [&](const std::vector<Attendee> &list, icalparameter_role role, bool resource) {
        for (const auto &a : list) {
            icalproperty *p = icalproperty_new_attendee(("mailto:" + a.address).c_str());
            if (!a.name.empty()) icalproperty_add_parameter(p, icalparameter_new_cn(a.name.c_str()));
            icalproperty_add_parameter(p, icalparameter_new_role(role));
            if (resource) icalproperty_add_parameter(p, icalparameter_new_cutype(ICAL_CUTYPE_RESOURCE));
            icalproperty_add_parameter(p, partstat_of(a.response));
            icalcomponent_add_property(event, p);
        }
    };
    add(d.required, ICAL_ROLE_REQPARTICIPANT, false);
    add(d.optional, ICAL_ROLE_OPTPARTICIPANT, false);
    add(d.resources, ICAL_ROLE_NONPARTICIPANT, true);
}

void add_item_fields(icalcomponent *event, const StoredItem &stored, const CalendarData &d) {
    const ItemInfo &info = stored.info;
    if (info.sensitivity == 2 || info.sensitivity == 3)
        icalcomponent_add_property(event, icalproperty_new_class(info.sensitivity == 2 ? ICAL_CLASS_PRIVATE
                                                                                       : ICAL_CLASS_CONFIDENTIAL));
    if (info.importance != 1) icalcomponent_add_property(event, icalproperty_new_priority(info.importance == 2 ? 1 : 9));
    for (const auto &c : info.categories) icalcomponent_add_property(event, icalproperty_new_categories(c.c_str()));
    icalcomponent_add_property(event, icalproperty_new_transp(d.busy == "Free" ? ICAL_TRANSP_TRANSPARENT
                                                                               : ICAL_TRANSP_OPAQUE));
    icalproperty *busy = icalproperty_new_x(d.busy == "NoData" ? "BUSY" : d.busy.c_str());
    icalproperty_set_x_name(busy, "X-MICROSOFT-CDO-BUSYSTATUS");
    icalcomponent_add_property(event, busy);
    if (element_property_value(stored, "ReminderIsSet").value_or("false") != "true") return;
    int minutes = std::stoi(element_property_value(stored, "ReminderMinutesBeforeStart").value_or("15"));
    icalcomponent *alarm = icalcomponent_new(ICAL_VALARM_COMPONENT);
    icalcomponent_add_property(alarm, icalproperty_new_action(ICAL_ACTION_DISPLAY));
    icaltriggertype trigger{icaltime_null_time(), icaldurationtype_from_int(-minutes * 60)};
    icalcomponent_add_property(alarm, icalproperty_new_trigger(trigger));
    icalcomponent_add_property(alarm, icalproperty_new_description("Reminder"));
    icalcomponent_add_component(event, alarm);
}

std::string body_text(const CalendarData &d, const std::string &body) {
    return d.body_html ? html_to_text(body) : body;
}

// One VEVENT: the item, its series, or one occurrence.
icalcomponent *event_of(const StoredItem &stored, const CalendarData &d, const TimeWriter &times,
                        UnixTime start, UnixTime end, const std::string &subject, const std::string &location,
                        const std::string &body) {
    icalcomponent *event = icalcomponent_new(ICAL_VEVENT_COMPONENT);
    icalcomponent_add_property(event, icalproperty_new_uid(d.uid.c_str()));
    icalcomponent_add_property(event, icalproperty_new_dtstamp(icaltime_from_timet_with_zone(
        static_cast<time_t>(stored.info.last_modified), 0, ical_utc())));
    icalcomponent_add_property(event, icalproperty_new_summary(subject.c_str()));
    if (!location.empty()) icalcomponent_add_property(event, icalproperty_new_location(location.c_str()));
    if (!body.empty()) icalcomponent_add_property(event, icalproperty_new_description(body_text(d, body).c_str()));
    times.add(event, icalproperty_new_dtstart, start);
    times.add(event, icalproperty_new_dtend, end);
    add_people(event, stored.info, d);
    add_item_fields(event, stored, d);
    return event;
}

void add_series(icalcomponent *calendar, icalcomponent *master, const StoredItem &stored, const CalendarData &d,
                const TimeWriter &times) {
    const std::string rule = rrule_with_range(*d.recurrence, d.zone_id, d.all_day);
    icalcomponent_add_property(master, icalproperty_new_rrule(icalrecurrencetype_from_string(rule.c_str())));
    for (UnixTime t : d.deleted) times.add(master, icalproperty_new_exdate, t);
    for (const auto &m : d.modified) {
        icalcomponent *e = event_of(stored, d, times, m.start, m.end, m.subject.value_or(stored.info.subject),
                                    m.location.value_or(d.location), m.body.value_or(d.body));
        times.add(e, icalproperty_new_recurrenceid, m.original_start);
        icalcomponent_add_component(calendar, e);
    }
}

std::string calendar_text(const StoredItem &stored, const OccurrenceView *occurrence) {
    const CalendarData d = read_calendar(stored);
    IcalComponentPtr calendar(icalcomponent_new(ICAL_VCALENDAR_COMPONENT));
    icalcomponent_add_property(calendar.get(), icalproperty_new_version("2.0"));
    icalcomponent_add_property(calendar.get(), icalproperty_new_prodid("-//ews-sandbox//calendar item//EN"));
    icalcomponent_add_property(calendar.get(), icalproperty_new_method(ICAL_METHOD_PUBLISH));
    TimeWriter times(d, calendar.get());
    const ItemInfo &info = stored.info;
    if (occurrence) {
        const ModifiedOccurrence *m = occurrence->modified;
        UnixTime start = m ? m->start : occurrence->place.start;
        UnixTime end = m ? m->end : occurrence->place.start + (d.end - d.start);
        icalcomponent *e = event_of(stored, d, times, start, end, m ? m->subject.value_or(info.subject) : info.subject,
                                    m ? m->location.value_or(d.location) : d.location,
                                    m ? m->body.value_or(d.body) : d.body);
        times.add(e, icalproperty_new_recurrenceid, occurrence->place.start);
        icalcomponent_add_component(calendar.get(), e);
    } else {
        icalcomponent *master = event_of(stored, d, times, d.start, d.end, info.subject, d.location, d.body);
        icalcomponent_add_component(calendar.get(), master);
        if (d.recurrence) add_series(calendar.get(), master, stored, d, times);
    }
    char *text = icalcomponent_as_ical_string_r(calendar.get());
    std::string out = text ? text : "";
    free(text);
    return out;
}

} // namespace

std::string calendar_item_mime(const ItemInfo &info, const StoredItem &stored, const OccurrenceView *occurrence) {
    std::string mime;
    mime += "From: " + format_address({info.from_name, info.from_address}) + "\r\n";
    mime += "Subject: " + encode_header_text(info.subject) + "\r\n";
    mime += "Date: " + rfc5322_date(info.last_modified) + "\r\n";
    mime += "MIME-Version: 1.0\r\n";
    mime += "Content-Type: text/calendar; charset=\"utf-8\"; method=PUBLISH\r\n";
    mime += "Content-Transfer-Encoding: base64\r\n\r\n";
    return mime + base64_encode(calendar_text(stored, occurrence), 76) + "\r\n";
}

} // namespace sandbox
