// iCalendar read into the calendar model: one VEVENT, or a series (RRULE,
// EXDATE) with RECURRENCE-ID VEVENTs for its changed occurrences, becomes
// the same stored calendar item the XML elements of CreateItem make.
#include "calendar_ical.hpp"

#include <algorithm>
#include <cctype>
#include <iterator>

#include "calendar_ical_rule.hpp"
#include "calendar_zone.hpp"
#include "item_props.hpp"
#include "mime_summary.hpp"

namespace sandbox {

namespace {

// Exchange's text for the code (as quoted in exchangelib issue #266), and
// what the sandbox could not read.
EwsError conversion_failed(const std::string &why) {
    return ews_error("ErrorMimeContentConversionFailed", "MIME content conversion failed. " + why);
}

std::string lower(std::string s) {
    for (char &c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// The VCALENDAR text of the content: the content itself, or the first
// text/calendar part of a MIME message.
std::optional<std::string> calendar_text(std::string_view content) {
    std::string_view s = content;
    if (s.substr(0, 3) == "\xEF\xBB\xBF") s.remove_prefix(3);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
    if (lower(std::string(s.substr(0, 15))) == "begin:vcalendar") return std::string(s);
    MimeSummary summary = summarize_mime(content);
    if (!summary.parsed) return std::nullopt;
    for (std::size_t i = 0; i < summary.attachments.size(); ++i)
        if (lower(summary.attachments[i].content_type) == "text/calendar") return attachment_content(content, i);
    return std::nullopt;
}

const char *text_property(icalcomponent *c, icalproperty_kind kind) {
    icalproperty *p = icalcomponent_get_first_property(c, kind);
    if (!p) return nullptr;
    switch (kind) {
    case ICAL_SUMMARY_PROPERTY: return icalproperty_get_summary(p);
    case ICAL_LOCATION_PROPERTY: return icalproperty_get_location(p);
    case ICAL_DESCRIPTION_PROPERTY: return icalproperty_get_description(p);
    case ICAL_UID_PROPERTY: return icalproperty_get_uid(p);
    default: return nullptr;
    }
}

std::optional<std::string> text_of(icalcomponent *c, icalproperty_kind kind) {
    const char *v = text_property(c, kind);
    if (!v) return std::nullopt;
    return std::string(v);
}

std::string parameter_text(icalproperty *p, icalparameter_kind kind) {
    icalparameter *param = icalproperty_get_first_parameter(p, kind);
    const char *v = nullptr;
    if (param && kind == ICAL_TZID_PARAMETER) v = icalparameter_get_tzid(param);
    if (param && kind == ICAL_CN_PARAMETER) v = icalparameter_get_cn(param);
    return v ? v : "";
}

// "mailto:a@b" and "MAILTO:a@b" give "a@b".
std::string address_of(const char *cal_address) {
    std::string a = cal_address ? cal_address : "";
    if (lower(a.substr(0, 7)) == "mailto:") a = a.substr(7);
    return a;
}

// Reads the times of one VCALENDAR in the zone of the event's start.
class TimeReader {
  public:
    TimeReader(icalcomponent *calendar, UnixTime near) : calendar_(calendar), near_(near) {}

    // The zone the event's start names; false with `error` for a TZID the
    // calendar cannot resolve.
    bool take_event_zone(icalproperty *dtstart, EwsError &error) {
        if (icalproperty_get_dtstart(dtstart).is_date && parameter_text(dtstart, ICAL_TZID_PARAMETER).empty()) {
            event_zone_ = calendar_zone();
            return true;
        }
        auto zone = zone_of(dtstart, error);
        if (!zone) return false;
        event_zone_ = *zone;
        return true;
    }
    const IcalZone &event_zone() const { return event_zone_; }

    // The instant of a DATE-TIME, or the local midnight of a DATE in the
    // event's zone.  Floating times are read in the event's zone.
    std::optional<UnixTime> instant(icalproperty *p, icaltimetype t, EwsError &error) {
        if (icaltime_is_null_time(t) || !icaltime_is_valid_time(t)) {
            error = conversion_failed(std::string("the value of ") + icalproperty_kind_to_string(icalproperty_isa(p)) +
                                      " is not a valid time.");
            return std::nullopt;
        }
        if (t.is_date) return local(event_zone_, {t.year, t.month, t.day, 0, 0, 0}, t);
        if (icaltime_is_utc(t)) return static_cast<UnixTime>(icaltime_as_timet(t));
        std::optional<IcalZone> zone = event_zone_;
        if (!parameter_text(p, ICAL_TZID_PARAMETER).empty()) zone = zone_of(p, error);
        if (!zone) return std::nullopt;
        return local(*zone, {t.year, t.month, t.day, t.hour, t.minute, t.second}, t);
    }

  private:
    // The zone of the calendar as a whole, for dates that name none: its
    // X-WR-TIMEZONE, or its VTIMEZONE when it has exactly one.  All-day
    // events then run from local midnight to local midnight there.
    IcalZone calendar_zone() {
        std::string tzid;
        for (icalproperty *x = icalcomponent_get_first_property(calendar_, ICAL_X_PROPERTY); x;
             x = icalcomponent_get_next_property(calendar_, ICAL_X_PROPERTY))
            if (icalproperty_get_x_name(x) && lower(icalproperty_get_x_name(x)) == "x-wr-timezone" &&
                icalproperty_get_x(x))
                tzid = icalproperty_get_x(x);
        if (tzid.empty() && icalcomponent_count_components(calendar_, ICAL_VTIMEZONE_COMPONENT) == 1) {
            icalcomponent *vtz = icalcomponent_get_first_component(calendar_, ICAL_VTIMEZONE_COMPONENT);
            if (icalproperty *id = icalcomponent_get_first_property(vtz, ICAL_TZID_PROPERTY))
                tzid = icalproperty_get_tzid(id) ? icalproperty_get_tzid(id) : "";
        }
        if (tzid.empty()) return {};
        return resolve_ical_zone(tzid, calendar_, near_).value_or(IcalZone{});
    }

    std::optional<IcalZone> zone_of(icalproperty *p, EwsError &error) {
        std::string tzid = parameter_text(p, ICAL_TZID_PARAMETER);
        if (tzid.empty()) return IcalZone{};
        auto zone = resolve_ical_zone(tzid, calendar_, near_);
        if (!zone)
            error = ews_error("ErrorCalendarInvalidTimeZone",
                              "The time zone \"" + tzid + "\" is neither known nor defined by a VTIMEZONE.");
        return zone;
    }

    static UnixTime local(const IcalZone &zone, const LocalTime &l, icaltimetype t) {
        if (!zone.custom) return local_to_utc(zone.windows_id, l);
        t.zone = nullptr;
        return static_cast<UnixTime>(icaltime_as_timet_with_zone(t, zone.custom));
    }

    icalcomponent *calendar_;
    UnixTime near_;
    IcalZone event_zone_;
};

// The start and end of a VEVENT; the end comes from DTEND, DURATION or
// RFC 5545's default (the start; one day for a date).
struct EventTimes {
    UnixTime start = 0, end = 0;
    bool all_day = false;
};

std::optional<EventTimes> event_times(icalcomponent *event, TimeReader &reader, EwsError &error) {
    icalproperty *dtstart = icalcomponent_get_first_property(event, ICAL_DTSTART_PROPERTY);
    if (!dtstart) {
        error = conversion_failed("the event has no DTSTART.");
        return std::nullopt;
    }
    icaltimetype st = icalproperty_get_dtstart(dtstart);
    auto start = reader.instant(dtstart, st, error);
    if (!start) return std::nullopt;
    EventTimes times{*start, *start + (st.is_date ? 86400 : 0), st.is_date != 0};
    if (icalproperty *dtend = icalcomponent_get_first_property(event, ICAL_DTEND_PROPERTY)) {
        auto end = reader.instant(dtend, icalproperty_get_dtend(dtend), error);
        if (!end) return std::nullopt;
        times.end = *end;
    } else if (icalproperty *duration = icalcomponent_get_first_property(event, ICAL_DURATION_PROPERTY)) {
        times.end = *start + icaldurationtype_as_int(icalproperty_get_duration(duration));
    }
    return times;
}

std::string response_of(icalproperty *p) {
    icalparameter *param = icalproperty_get_first_parameter(p, ICAL_PARTSTAT_PARAMETER);
    switch (param ? icalparameter_get_partstat(param) : ICAL_PARTSTAT_NEEDSACTION) {
    case ICAL_PARTSTAT_ACCEPTED: return "Accept";
    case ICAL_PARTSTAT_DECLINED: return "Decline";
    case ICAL_PARTSTAT_TENTATIVE: return "Tentative";
    default: return "NoResponseReceived";
    }
}

// ORGANIZER and ATTENDEE lines: the organizer is the item's sender, the
// attendees go to the required, optional or resource list by ROLE and
// CUTYPE, with PARTSTAT as their response.
void read_people(icalcomponent *event, const std::string &mailbox_address, StoredItem &item, CalendarData &d) {
    std::string organizer;
    if (icalproperty *o = icalcomponent_get_first_property(event, ICAL_ORGANIZER_PROPERTY)) {
        organizer = address_of(icalproperty_get_organizer(o));
        std::string cn = parameter_text(o, ICAL_CN_PARAMETER);
        if (organizer.find('@') == std::string::npos) {
            // A name without an address ("ORGANIZER:Pat Doe"): nothing to
            // tell the organizer by, so the mailbox stays the organizer.
            if (!organizer.empty()) item.info.from_name = organizer;
            organizer.clear();
        } else {
            item.info.from_address = organizer;
            item.info.from_name = cn.empty() ? organizer.substr(0, organizer.find('@')) : cn;
        }
    }
    const bool mine = organizer.empty() || lower(organizer) == lower(mailbox_address);
    d.my_response = mine ? "Organizer" : "NoResponseReceived";
    for (icalproperty *p = icalcomponent_get_first_property(event, ICAL_ATTENDEE_PROPERTY); p;
         p = icalcomponent_get_next_property(event, ICAL_ATTENDEE_PROPERTY)) {
        Attendee a;
        a.address = address_of(icalproperty_get_attendee(p));
        a.name = parameter_text(p, ICAL_CN_PARAMETER);
        a.response = response_of(p);
        if (!mine && lower(a.address) == lower(mailbox_address)) d.my_response = a.response;
        icalparameter *role = icalproperty_get_first_parameter(p, ICAL_ROLE_PARAMETER);
        icalparameter *cutype = icalproperty_get_first_parameter(p, ICAL_CUTYPE_PARAMETER);
        icalparameter_cutype kind = cutype ? icalparameter_get_cutype(cutype) : ICAL_CUTYPE_INDIVIDUAL;
        if (kind == ICAL_CUTYPE_RESOURCE || kind == ICAL_CUTYPE_ROOM) d.resources.push_back(a);
        else if (role && (icalparameter_get_role(role) == ICAL_ROLE_OPTPARTICIPANT ||
                          icalparameter_get_role(role) == ICAL_ROLE_NONPARTICIPANT))
            d.optional.push_back(a);
        else d.required.push_back(a);
    }
}

// CLASS, PRIORITY and CATEGORIES to the item's sensitivity, importance and
// categories; TRANSP and Exchange's own busy status to the free/busy value.
void read_item_fields(icalcomponent *event, StoredItem &item, CalendarData &d) {
    ItemInfo &i = item.info;
    if (icalproperty *c = icalcomponent_get_first_property(event, ICAL_CLASS_PROPERTY)) {
        icalproperty_class cls = icalproperty_get_class(c);
        i.sensitivity = cls == ICAL_CLASS_PRIVATE ? 2 : cls == ICAL_CLASS_CONFIDENTIAL ? 3 : 0;
    }
    if (icalproperty *p = icalcomponent_get_first_property(event, ICAL_PRIORITY_PROPERTY)) {
        int priority = icalproperty_get_priority(p);
        i.importance = priority >= 1 && priority <= 4 ? 2 : priority >= 6 && priority <= 9 ? 0 : 1;
    }
    for (icalproperty *p = icalcomponent_get_first_property(event, ICAL_CATEGORIES_PROPERTY); p;
         p = icalcomponent_get_next_property(event, ICAL_CATEGORIES_PROPERTY)) {
        std::string list = icalproperty_get_categories(p) ? icalproperty_get_categories(p) : "";
        for (std::size_t pos = 0; pos <= list.size();) {
            std::size_t comma = std::min(list.find(',', pos), list.size());
            if (comma > pos) i.categories.push_back(list.substr(pos, comma - pos));
            pos = comma + 1;
        }
    }
    if (icalproperty *t = icalcomponent_get_first_property(event, ICAL_TRANSP_PROPERTY))
        if (icalproperty_get_transp(t) == ICAL_TRANSP_TRANSPARENT) d.busy = "Free";
    for (icalproperty *x = icalcomponent_get_first_property(event, ICAL_X_PROPERTY); x;
         x = icalcomponent_get_next_property(event, ICAL_X_PROPERTY)) {
        const char *name = icalproperty_get_x_name(x);
        const char *value = icalproperty_get_x(x);
        if (!name || !value || lower(name) != "x-microsoft-cdo-busystatus") continue;
        std::string v = lower(value);
        if (v == "free") d.busy = "Free";
        else if (v == "tentative") d.busy = "Tentative";
        else if (v == "busy") d.busy = "Busy";
        else if (v == "oof") d.busy = "OOF";
        else if (v == "workingelsewhere") d.busy = "WorkingElsewhere";
    }
}

// The first VALARM's trigger as minutes before the start; no alarm leaves
// the reminder off.
void read_reminder(icalcomponent *event, UnixTime start, StoredItem &item) {
    icalcomponent *alarm = icalcomponent_get_first_component(event, ICAL_VALARM_COMPONENT);
    icalproperty *trigger = alarm ? icalcomponent_get_first_property(alarm, ICAL_TRIGGER_PROPERTY) : nullptr;
    set_element_property(item, *element_property("ReminderIsSet"), trigger ? "true" : "false");
    if (!trigger) return;
    icaltriggertype t = icalproperty_get_trigger(trigger);
    long long before = 0;
    if (!icaltime_is_null_time(t.time)) before = (start - static_cast<UnixTime>(icaltime_as_timet(t.time))) / 60;
    else before = -icaldurationtype_as_int(t.duration) / 60;
    set_element_property(item, *element_property("ReminderMinutesBeforeStart"),
                         std::to_string(std::max(0LL, before)));
}

std::vector<icalcomponent *> events_of(icalcomponent *calendar) {
    std::vector<icalcomponent *> out;
    for (icalcomponent *e = icalcomponent_get_first_component(calendar, ICAL_VEVENT_COMPONENT); e;
         e = icalcomponent_get_next_component(calendar, ICAL_VEVENT_COMPONENT))
        out.push_back(e);
    return out;
}

bool is_override(icalcomponent *event) {
    return icalcomponent_get_first_property(event, ICAL_RECURRENCEID_PROPERTY) != nullptr;
}

// The occurrences of the series, expanded once as far as the times asked
// about reach, so many EXDATEs on a long series cost one expansion.
class SeriesPlaces {
  public:
    explicit SeriesPlaces(const CalendarData &d) : d_(d), clock_(d.zone_id) {}

    // The original start of the occurrence a time names: the one starting
    // then, or for a date, the one on that local day.
    std::optional<UnixTime> find(UnixTime t, bool date) {
        if (t + 2 * 86400 > reach_) {
            reach_ = std::max(t + 2 * 86400, reach_ + 366 * 86400);
            starts_.clear();
            for (const auto &p : expand_series(d_, reach_, kMaxSeriesInstances)) starts_.push_back(p.start);
        }
        if (std::binary_search(starts_.begin(), starts_.end(), t)) return t;
        if (!date) return std::nullopt;
        const LocalTime day = clock_.to_local(t);
        for (auto it = std::lower_bound(starts_.begin(), starts_.end(), t - 86400);
             it != starts_.end() && *it < t + 2 * 86400; ++it) {
            LocalTime l = clock_.to_local(*it);
            if (l.year == day.year && l.month == day.month && l.day == day.day) return *it;
        }
        return std::nullopt;
    }

  private:
    const CalendarData &d_;
    ZoneClock clock_;
    UnixTime reach_ = INT64_MIN / 2;
    std::vector<UnixTime> starts_;
};

// EXDATE lines to deleted occurrences; times that name no occurrence are
// passed over, as they remove nothing.
bool read_exdates(icalcomponent *master, TimeReader &reader, SeriesPlaces &places, CalendarData &d,
                  EwsError &error) {
    for (icalproperty *p = icalcomponent_get_first_property(master, ICAL_EXDATE_PROPERTY); p;
         p = icalcomponent_get_next_property(master, ICAL_EXDATE_PROPERTY)) {
        icaltimetype t = icalproperty_get_exdate(p);
        auto when = reader.instant(p, t, error);
        if (!when) return false;
        auto place = places.find(*when, t.is_date != 0);
        if (place && std::find(d.deleted.begin(), d.deleted.end(), *place) == d.deleted.end())
            d.deleted.push_back(*place);
    }
    return true;
}

// A RECURRENCE-ID VEVENT to a modified (or, when cancelled, deleted)
// occurrence: what differs from the series is kept.
bool read_override(icalcomponent *event, const StoredItem &item, TimeReader &reader, SeriesPlaces &places,
                   CalendarData &d, EwsError &error) {
    icalproperty *rid = icalcomponent_get_first_property(event, ICAL_RECURRENCEID_PROPERTY);
    icaltimetype t = icalproperty_get_recurrenceid(rid);
    auto when = reader.instant(rid, t, error);
    if (!when) return false;
    auto place = places.find(*when, t.is_date != 0);
    if (!place) return true; // names no occurrence of the series
    std::erase_if(d.modified, [&](const ModifiedOccurrence &m) { return m.original_start == *place; });
    if (icalproperty *s = icalcomponent_get_first_property(event, ICAL_STATUS_PROPERTY);
        s && icalproperty_get_status(s) == ICAL_STATUS_CANCELLED) {
        d.deleted.push_back(*place);
        return true;
    }
    ModifiedOccurrence m;
    m.original_start = *place;
    m.start = *place;
    m.end = *place + (d.end - d.start);
    if (icalcomponent_get_first_property(event, ICAL_DTSTART_PROPERTY)) {
        auto times = event_times(event, reader, error);
        if (!times) return false;
        m.start = times->start;
        const bool has_end = icalcomponent_get_first_property(event, ICAL_DTEND_PROPERTY) ||
                             icalcomponent_get_first_property(event, ICAL_DURATION_PROPERTY);
        m.end = has_end ? times->end : m.start + (d.end - d.start);
    }
    if (m.end < m.start) {
        error = ews_error("ErrorCalendarEndDateIsEarlierThanStartDate",
                          "The end date is earlier than the start date.");
        return false;
    }
    if (auto v = text_of(event, ICAL_SUMMARY_PROPERTY); v && *v != item.info.subject) m.subject = v;
    if (auto v = text_of(event, ICAL_LOCATION_PROPERTY); v && *v != d.location) m.location = v;
    if (auto v = text_of(event, ICAL_DESCRIPTION_PROPERTY); v && *v != d.body) m.body = v;
    d.modified.push_back(m);
    return true;
}

// The master (or single) VEVENT: the item's fields and its series.
bool read_master(icalcomponent *master, const std::string &mailbox_address, TimeReader &reader,
                 StoredItem &item, CalendarData &d, EwsError &error) {
    icalproperty *dtstart = icalcomponent_get_first_property(master, ICAL_DTSTART_PROPERTY);
    if (dtstart && !reader.take_event_zone(dtstart, error)) return false;
    auto times = event_times(master, reader, error);
    if (!times) return false;
    d.zone_id = reader.event_zone().windows_id;
    d.start = times->start;
    d.end = times->end;
    d.all_day = times->all_day;
    item.info.subject = text_of(master, ICAL_SUMMARY_PROPERTY).value_or("");
    d.location = text_of(master, ICAL_LOCATION_PROPERTY).value_or("");
    d.body = text_of(master, ICAL_DESCRIPTION_PROPERTY).value_or("");
    d.body_html = false;
    d.uid = text_of(master, ICAL_UID_PROPERTY).value_or("");
    read_item_fields(master, item, d);
    read_people(master, mailbox_address, item, d);
    read_reminder(master, d.start, item);
    if (icalproperty *rrule = icalcomponent_get_first_property(master, ICAL_RRULE_PROPERTY)) {
        LocalTime start_local = utc_to_local(d.zone_id, d.start);
        auto rule = rule_from_rrule(icalproperty_get_rrule(rrule), start_local, d.zone_id, error);
        if (!rule) return false;
        d.recurrence = *rule;
    }
    return true;
}

// What Exchange keeps of imported iCalendar ([MS-OXCICAL] 2.1.3.3): the
// text/calendar part itself (PidLidInboundICalStream, Appointment 0x827A)
// and whether it was the whole message (PidLidSingleBodyICal, 0x827B).
void keep_inbound_stream(StoredItem &item, const std::string &calendar, std::string_view content) {
    const bool whole = calendar.size() + 3 >= content.size();
    std::erase_if(item.extended, [](const ExtendedValue &v) {
        return v.id == "Appointment:id:33402" || v.id == "Appointment:id:33403";
    });
    item.extended.push_back({"Appointment:id:33402", "Binary", {base64_encode(calendar)}});
    item.extended.push_back({"Appointment:id:33403", "Boolean", {whole ? "true" : "false"}});
}

} // namespace

bool calendar_from_icalendar(std::string_view content, const std::string &mailbox_address,
                             StoredItem &item, CalendarData &data, EwsError &error) {
    ical_utc(); // before the parser's first UTC time
    auto text = calendar_text(content);
    if (!text) {
        error = conversion_failed("the MIME content holds no iCalendar object.");
        return false;
    }
    IcalComponentPtr calendar(icalparser_parse_string(text->c_str()));
    if (!calendar || icalcomponent_isa(calendar.get()) != ICAL_VCALENDAR_COMPONENT) {
        error = conversion_failed("the MIME content is not an iCalendar object.");
        return false;
    }
    std::vector<icalcomponent *> events = events_of(calendar.get()), masters;
    std::copy_if(events.begin(), events.end(), std::back_inserter(masters),
                 [](icalcomponent *e) { return !is_override(e); });
    if (masters.size() != 1) {
        error = conversion_failed(masters.empty() ? "the iCalendar object holds no event."
                                                  : "the iCalendar object holds more than one event.");
        return false;
    }
    icalcomponent *master = masters.front();
    icalproperty *dtstart = icalcomponent_get_first_property(master, ICAL_DTSTART_PROPERTY);
    const UnixTime near = dtstart ? static_cast<UnixTime>(icaltime_as_timet(icalproperty_get_dtstart(dtstart))) : 0;
    TimeReader reader(calendar.get(), near);
    StoredItem new_item = item;
    CalendarData d = data;
    if (!read_master(master, mailbox_address, reader, new_item, d, error)) return false;
    if (d.recurrence) {
        // The places are those of the series as read; exceptions only
        // change what d.modified and d.deleted hold.
        const CalendarData series = d;
        SeriesPlaces places(series);
        if (!read_exdates(master, reader, places, d, error)) return false;
        for (icalcomponent *e : events) {
            auto event_uid = text_of(e, ICAL_UID_PROPERTY);
            if (!is_override(e) || (event_uid && *event_uid != d.uid)) continue; // another event's change
            if (!read_override(e, new_item, reader, places, d, error)) return false;
        }
    }
    keep_inbound_stream(new_item, *text, content);
    item = std::move(new_item);
    data = std::move(d);
    return true;
}

} // namespace sandbox
