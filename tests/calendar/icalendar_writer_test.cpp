// The iCalendar objects the calendar writer hands the server, read back by
// two independent readers: libical (parse, restriction check, expansion of
// the series) and Python's icalendar (tests/calendar/icalendar_check.py).
// (The server's own reading of them: the /D298 run of
// calendar_copy_exchangelib.)
#include <gtest/gtest.h>
#include <libical/ical.h>

#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "calendar/icalendar_writer.hpp"
#include "common/xml_request_text.hpp"
#include "qv/qvcom.h"
#include "calendar_answers.hpp"
#include "qv_test_support.hpp"
#include "test_support.hpp"

namespace {

using namespace qvamz::calendar;
using caltest::AddBreakout;
using qvtest::filetime_utc;
using Calendar = std::unique_ptr<icalcomponent, decltype(&icalcomponent_free)>;

class ICalendarWriterTest : public ::testing::Test {
  protected:
    // The host zone must not matter, unless a test sets one.
    conntest::ScopedEnv tz_{"TZ", "UTC"};

    qvtest::Record Event(const char *title, qv_filetime start, qv_filetime end)
    {
        qvtest::Record r = qvtest::new_record(7);
        qvtest::set_text(r->title, title);
        r->start_time = start, r->end_time = end;
        for (int i = 0; i < 16; ++i)
            r->binary_id[i] = static_cast<std::uint8_t>(i + 1);
        return r;
    }
    std::string Write(qv_message &msg, bool attendees = false)
    {
        return ICalendarWriter(msg, {dir.prefix(), attendees});
    }
    // What Python's icalendar reads: one JSON line per VEVENT.
    std::string PythonView(const std::string &text)
    {
        qvtest::write_file(dir.file("event.ics"), text);
        const std::string command = "/usr/bin/python3 " QV_TEST_DATA_DIR
                                    "/../calendar/icalendar_check.py " + dir.file("event.ics") +
                                    " > " + dir.file("python.out") + " 2>&1";
        EXPECT_EQ(std::system(command.c_str()), 0) << qvtest::read_file(dir.file("python.out"));
        return qvtest::read_file(dir.file("python.out"));
    }
    qvtest::TempDir dir;
};

// The object as libical reads it, after checking that every line ends
// with CR LF, holds at most 75 octets and no cut UTF-8 character, and
// that libical finds no parse or restriction error.
Calendar ParseClean(const std::string &text)
{
    for (std::size_t at = 0, end; at < text.size(); at = end + 2) {
        end = text.find("\r\n", at);
        EXPECT_NE(end, std::string::npos) << "line without CR LF at " << at;
        const std::string line = text.substr(at, end - at);
        EXPECT_LE(line.size(), 75u) << line;
        EXPECT_EQ(qvcommon::XmlRequestText(line), line) << "cut character or line end in: " << line;
    }
    Calendar cal(icalparser_parse_string(text.c_str()), icalcomponent_free);
    EXPECT_TRUE(cal && icalcomponent_isa(cal.get()) == ICAL_VCALENDAR_COMPONENT) << text;
    if (cal) {
        icalrestriction_check(cal.get());
        EXPECT_EQ(icalcomponent_count_errors(cal.get()), 0) << icalcomponent_as_ical_string(cal.get());
    }
    return cal;
}

std::vector<icalcomponent *> Events(icalcomponent *cal)
{
    std::vector<icalcomponent *> out;
    for (icalcomponent *e = icalcomponent_get_first_component(cal, ICAL_VEVENT_COMPONENT); e;
         e = icalcomponent_get_next_component(cal, ICAL_VEVENT_COMPONENT))
        out.push_back(e);
    return out;
}

// UTC instant of a time property, its TZID looked up in the calendar.
time_t Instant(icalcomponent *cal, icalproperty *p)
{
    icaltimetype t = icalvalue_get_datetime(icalproperty_get_value(p));
    if (icalparameter *tzid = icalproperty_get_first_parameter(p, ICAL_TZID_PARAMETER))
        t = icaltime_set_timezone(&t, icalcomponent_get_timezone(cal, icalparameter_get_tzid(tzid)));
    return icaltime_as_timet_with_zone(t, t.zone ? t.zone : icaltimezone_get_utc_timezone());
}

// UTC starts of the occurrences libical makes: the series expanded (EXDATE
// applied), each RECURRENCE-ID event moving its occurrence.
std::set<time_t> Occurrences(icalcomponent *cal)
{
    std::set<time_t> starts;
    const std::vector<icalcomponent *> events = Events(cal);
    const auto at = [](time_t t) { return icaltime_from_timet_with_zone(t, 0, icaltimezone_get_utc_timezone()); };
    icalcomponent_foreach_recurrence(
        events.at(0), at(0), at(4102444800),
        [](icalcomponent *, icaltime_span *span, void *data) {
            static_cast<std::set<time_t> *>(data)->insert(span->start);
        },
        &starts);
    for (std::size_t i = 1; i < events.size(); ++i) {
        starts.erase(Instant(cal, icalcomponent_get_first_property(events[i], ICAL_RECURRENCEID_PROPERTY)));
        starts.insert(Instant(cal, icalcomponent_get_first_property(events[i], ICAL_DTSTART_PROPERTY)));
    }
    return starts;
}

time_t Unix(int y, int m, int d, int h)
{
    return static_cast<time_t>(com_FileTimeToUnix(filetime_utc(y, m, d, h)));
}

TEST_F(ICalendarWriterTest, WeeklySeriesAcrossTheMarchChangeKeepsItsLocalTimes)
{
    // The zone as the reader stores a StartTimeZone id, and as a display name.
    for (const char *zone : {"Eastern Standard Time", "(UTC-05:00) Eastern Time (US & Canada)"}) {
        // Tuesdays 09:00-10:00 New York from 27 February, six times: 14:00Z
        // before 10 March, 13:00Z after.  5 March deleted, 19 March moved.
        qvtest::Record r = Event("Standup", filetime_utc(2024, 2, 27, 14), filetime_utc(2024, 2, 27, 15));
        qvtest::set_text(r->time_zone, zone);
        r->recur_type = 5, r->recur_interval = 1, r->recur_days = 4;
        r->recur_range = 0, r->recur_count = 6;
        AddBreakout(*r, 1, filetime_utc(2024, 3, 5, 14));
        AddBreakout(*r, 0, filetime_utc(2024, 3, 19, 13), filetime_utc(2024, 3, 20, 15),
                    filetime_utc(2024, 3, 20, 16));
        const std::string text = Write(*r);
        const Calendar cal = ParseClean(text);
        ASSERT_TRUE(cal);
        EXPECT_NE(text.find("DTSTART;TZID=America/New_York:20240227T090000\r\n"), std::string::npos);
        EXPECT_LT(text.find("END:VTIMEZONE"), text.find("BEGIN:VEVENT"));
        const std::set<time_t> expected = {Unix(2024, 2, 27, 14), Unix(2024, 3, 12, 13),
                                           Unix(2024, 3, 20, 15), Unix(2024, 3, 26, 13),
                                           Unix(2024, 4, 2, 13)};
        EXPECT_EQ(Occurrences(cal.get()), expected) << zone << "\n" << text;
        EXPECT_EQ(+r->start_time, filetime_utc(2024, 2, 27, 14)) << "the record stays UTC";

        // Ended by a date (stored as the start of that day): the last Tuesday is still in.
        r->recur_range = 1, r->recur_end = filetime_utc(2024, 4, 2, 4);
        const Calendar dated_end = ParseClean(Write(*r));
        ASSERT_TRUE(dated_end);
        EXPECT_EQ(Occurrences(dated_end.get()), expected) << zone;
    }
}

TEST_F(ICalendarWriterTest, TextValuesRoundTripEscapedAndFolded)
{
    // 200 bytes: two-, three- and four-byte characters among commas,
    // semicolons and backslashes; the folds must fall between characters.
    std::string summary;
    for (int i = 0; summary.size() < 180; ++i)
        summary += std::vector<std::string>{"Réunion, ", "日本語; ", "a\\b ", "😀 ", "x,y;z\\ "}[i % 5];
    summary.resize(200, '.');
    const std::string location = "Room 4, Floor 2; \"North\"\nBuilding\\B";
    // One backslash at a time: python3-icalendar 4.0 reads a pair back as one.
    const std::string notes = "Agenda:\r\n1. budget, plan; \\share\nend ]]>\x01 done";
    const std::string description = "Agenda:\n1. budget, plan; \\share\nend ]]> done";

    qvtest::Record r = Event((summary + "\r\nsecond line").c_str(), filetime_utc(2024, 5, 6, 9),
                             filetime_utc(2024, 5, 6, 8)); // ends before it starts
    qvtest::set_text(r->location, location);
    ASSERT_TRUE(com_WriteNotes(r.get(), notes.c_str(), dir.prefix().c_str()));
    const std::string text = Write(*r);
    EXPECT_EQ(std::string(r->title), summary) << "the title is cut at its line end";
    EXPECT_EQ(+r->end_time, +r->start_time);
    EXPECT_EQ(text.find("QUOTED-PRINTABLE"), std::string::npos);

    const Calendar cal = ParseClean(text);
    ASSERT_TRUE(cal);
    icalcomponent *event = Events(cal.get()).at(0);
    EXPECT_EQ(std::string(icalcomponent_get_summary(event)), summary);
    EXPECT_EQ(std::string(icalcomponent_get_location(event)), location);
    EXPECT_EQ(std::string(icalcomponent_get_description(event)), description);
    // libical also takes a bare ';' in a text value: the escapes are checked as written.
    std::string unfolded = text;
    for (std::size_t at; (at = unfolded.find("\r\n ")) != std::string::npos;)
        unfolded.erase(at, 3);
    EXPECT_NE(unfolded.find("SUMMARY:Réunion\\, 日本語\\; a\\\\b 😀 x\\,y\\;z\\\\ "), std::string::npos) << text;
    auto json = [](const std::string &s) { // as json.dumps writes these
        std::string out;
        for (char c : s)
            out += c == '\\' ? "\\\\" : c == '"' ? "\\\"" : c == '\n' ? "\\n" : std::string(1, c);
        return "\"" + out + "\"";
    };
    const std::string python = PythonView(text);
    EXPECT_NE(python.find("\"summary\": " + json(summary)), std::string::npos) << python;
    EXPECT_NE(python.find("\"location\": " + json(location)), std::string::npos) << python;
    EXPECT_NE(python.find("\"description\": " + json(description)), std::string::npos) << python;
}

TEST_F(ICalendarWriterTest, PrivateEventStaysPrivateAndOnlyRealValuesAreWritten)
{
    qvtest::Record r = Event("Doctor", filetime_utc(2024, 5, 6, 9), filetime_utc(2024, 5, 6, 10));
    r->is_private = 1, r->importance = 2, r->busy_status = 0; // free
    qvtest::set_text(r->categories, "Health; Red, dark;;");
    r->reminder_set = 1, r->reminder_minutes = 15;
    r->recur_type = 6, r->recur_interval = 1, r->recur_range = 0, r->recur_count = 3;
    AddBreakout(*r, 0, filetime_utc(2024, 5, 7, 9), filetime_utc(2024, 5, 7, 11),
                filetime_utc(2024, 5, 7, 12));
    const std::string text = Write(*r);
    const Calendar cal = ParseClean(text);
    ASSERT_TRUE(cal);
    const std::vector<icalcomponent *> events = Events(cal.get());
    ASSERT_EQ(events.size(), 2u);
    for (icalcomponent *e : events) {
        icalproperty *c = icalcomponent_get_first_property(e, ICAL_CLASS_PROPERTY);
        ASSERT_NE(c, nullptr) << "the moved occurrence is private too";
        EXPECT_EQ(icalproperty_get_class(c), ICAL_CLASS_PRIVATE);
        EXPECT_NE(icalcomponent_get_first_property(e, ICAL_DTSTAMP_PROPERTY), nullptr);
        EXPECT_EQ(icalcomponent_get_first_property(e, ICAL_LOCATION_PROPERTY), nullptr)
            << "no location made up";
    }
    EXPECT_NE(text.find("PRIORITY:1\r\n"), std::string::npos);
    EXPECT_EQ(icalproperty_get_transp(icalcomponent_get_first_property(events[0], ICAL_TRANSP_PROPERTY)),
              ICAL_TRANSP_TRANSPARENT);
    std::vector<std::string> categories;
    for (icalproperty *p = icalcomponent_get_first_property(events[0], ICAL_CATEGORIES_PROPERTY); p;
         p = icalcomponent_get_next_property(events[0], ICAL_CATEGORIES_PROPERTY))
        categories.push_back(icalproperty_get_categories(p));
    EXPECT_EQ(categories, (std::vector<std::string>{"Health", "Red, dark"}));
    EXPECT_NE(text.find("UID:0102030405060708090a0b0c0d0e0f10\r\n"), std::string::npos);
    EXPECT_NE(text.find("DTSTART:20240506T090000Z\r\n"), std::string::npos) << "no zone: UTC";
    icalcomponent *alarm = icalcomponent_get_first_component(events[0], ICAL_VALARM_COMPONENT);
    ASSERT_NE(alarm, nullptr);
    EXPECT_EQ(icaldurationtype_as_int(icalproperty_get_trigger(icalcomponent_get_first_property(
                                          alarm, ICAL_TRIGGER_PROPERTY)).duration),
              -15 * 60);
    EXPECT_EQ(Occurrences(cal.get()),
              (std::set<time_t>{Unix(2024, 5, 6, 9), Unix(2024, 5, 7, 11), Unix(2024, 5, 8, 9)}));
}

TEST_F(ICalendarWriterTest, AttendeesAndOrganizer)
{
    qvtest::Record r = Event("Planning", filetime_utc(2024, 5, 6, 9), filetime_utc(2024, 5, 6, 10));
    qvtest::set_text(r->organizer_name, "Olga Organizer");
    qvtest::set_text(r->organizer_address, "olga@example.com");
    qvtest::add_recipient(*r, "Olga Organizer", "olga@example.com", QV_RECIP_ORGANIZER);
    qvtest::add_recipient(*r, "Smith, Ann", "ann@example.com", QV_RECIP_TO).response = 1;
    qvtest::add_recipient(*r, "Bob", "bob@example.com", QV_RECIP_CC).response = 2;
    qvtest::add_recipient(*r, "Room 1", "room1@example.com", QV_RECIP_BCC);
    qvtest::add_recipient(*r, "Carl", "carl@example.com", 5); // a To kind
    qvtest::add_recipient(*r, "No Address", "", QV_RECIP_TO);

    EXPECT_EQ(Write(*r).find("ATTENDEE"), std::string::npos) << "attendees only when asked";
    const std::string text = Write(*r, true);
    const Calendar cal = ParseClean(text);
    ASSERT_TRUE(cal);
    icalcomponent *event = Events(cal.get()).at(0);
    EXPECT_STREQ(icalproperty_get_organizer(icalcomponent_get_first_property(event, ICAL_ORGANIZER_PROPERTY)),
                 "mailto:olga@example.com");
    std::vector<std::string> seen; // address, CN, ROLE, PARTSTAT
    for (icalproperty *a = icalcomponent_get_first_property(event, ICAL_ATTENDEE_PROPERTY); a;
         a = icalcomponent_get_next_property(event, ICAL_ATTENDEE_PROPERTY)) {
        icalparameter *cn = icalproperty_get_first_parameter(a, ICAL_CN_PARAMETER);
        seen.push_back(std::string(icalproperty_get_attendee(a)) + "|" + (cn ? icalparameter_get_cn(cn) : "") + "|" +
                       icalparameter_enum_to_string(icalparameter_get_role(icalproperty_get_first_parameter(a, ICAL_ROLE_PARAMETER))) + "|" +
                       icalparameter_enum_to_string(icalparameter_get_partstat(icalproperty_get_first_parameter(a, ICAL_PARTSTAT_PARAMETER))));
    }
    // Never the organizer nor an attendee without an address; an unknown
    // kind is required, not the role of the attendee before it.
    EXPECT_EQ(seen, (std::vector<std::string>{
                        "mailto:ann@example.com|Smith, Ann|REQ-PARTICIPANT|ACCEPTED",
                        "mailto:bob@example.com|Bob|OPT-PARTICIPANT|DECLINED",
                        "mailto:room1@example.com|Room 1|NON-PARTICIPANT|NEEDS-ACTION",
                        "mailto:carl@example.com|Carl|REQ-PARTICIPANT|NEEDS-ACTION"}))
        << text;
}

TEST_F(ICalendarWriterTest, AllDayEventsAreDatesOfTheirLocalDay)
{
    ::setenv("TZ", "America/New_York", 1); // a UTC-05:00 host
    qvtest::Record r = Event("Holiday", filetime_utc(2024, 3, 10, 5), filetime_utc(2024, 3, 11, 4));
    r->all_day = 1;
    EXPECT_NE(Write(*r).find("DTSTART;VALUE=DATE:20240310\r\nDTEND;VALUE=DATE:20240311\r\n"),
              std::string::npos);
    r->end_time = r->start_time; // no length at all: it still lasts its day
    EXPECT_NE(Write(*r).find("DTEND;VALUE=DATE:20240311\r\n"), std::string::npos);
    // In a zone of its own (Berlin), the day of that zone.
    qvtest::set_text(r->time_zone, "W. Europe Standard Time");
    r->start_time = filetime_utc(2024, 7, 1, 22), r->end_time = filetime_utc(2024, 7, 2, 22);
    const std::string text = Write(*r);
    EXPECT_TRUE(ParseClean(text));
    EXPECT_NE(text.find("DTSTART;VALUE=DATE:20240702\r\nDTEND;VALUE=DATE:20240703\r\n"),
              std::string::npos) << text;
}

} // namespace
