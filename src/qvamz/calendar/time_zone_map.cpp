// Zone names to Windows zone ids (see time_zone_map.hpp).
#include "calendar/time_zone_map.hpp"

#include <algorithm>

#include "common/text_case.hpp"

namespace qvamz::calendar {
namespace {

using qvcommon::EqualsNoCase;
using qvcommon::StartsWithNoCase;

// Display names as the host's zone dialogs have shown them over the
// years, oldest first; the newer spellings of a zone follow the older ones.
constexpr ZoneDisplayRow kZoneDisplayRows[] = {
    {"Dateline Standard Time", "(UTC-12:00) International Date Line West"},
    {"Samoa Standard Time", "(UTC-11:00) Samoa"},
    {"Hawaiian Standard Time", "(UTC-10:00) Hawaii"},
    {"Alaskan Standard Time", "(UTC-09:00) Alaska"},
    {"Pacific Standard Time", "(UTC-08:00) Pacific Time (US & Canada)"},
    {"Mountain Standard Time", "(UTC-07:00) Mountain Time (US & Canada)"},
    {"Mexico Standard Time 2", "(UTC-07:00) Chihuahua, La Paz, Mazatlan"},
    {"US Mountain Standard Time", "(UTC-07:00) Arizona"},
    {"Central Standard Time", "(UTC-06:00) Central Time (US & Canada)"},
    {"Canada Central Standard Time", "(UTC-06:00) Saskatchewan"},
    {"Central Standard Time (Mexico)", "(UTC-06:00) Guadalajara, Mexico City, Monterrey"},
    {"Central America Standard Time", "(UTC-06:00) Central America"},
    {"Eastern Standard Time", "(UTC-05:00) Eastern Time (US & Canada)"},
    {"US Eastern Standard Time", "(UTC-05:00) Indiana (East)"},
    {"SA Pacific Standard Time", "(UTC-05:00) Bogota, Lima, Quito, Rio Branco"},
    {"Atlantic Standard Time", "(UTC-04:00) Atlantic Time (Canada)"},
    {"SA Western Standard Time", "(UTC-04:00) Caracas"},
    {"Pacific SA Standard Time", "(UTC-04:00) Santiago"},
    {"Newfoundland Standard Time", "(UTC-03:30) Newfoundland"},
    {"E. South America Standard Time", "(UTC-03:00) Brasilia"},
    {"SA Eastern Standard Time", "(UTC-03:00) Buenos Aires"},
    {"Greenland Standard Time", "(UTC-03:00) Greenland"},
    {"Mid-Atlantic Standard Time", "(UTC-02:00) Mid-Atlantic"},
    {"Azores Standard Time", "(UTC-01:00) Azores"},
    {"Cape Verde Standard Time", "(UTC-01:00) Cape Verde Is."},
    {"GMT Standard Time", "(UTC) Dublin, Edinburgh, Lisbon, London"},
    {"Greenwich Standard Time", "(UTC) Casablanca"},
    {"Central Europe Standard Time", "(UTC+01:00) Belgrade, Bratislava, Budapest, Ljubljana, Prague"},
    {"Central European Standard Time", "(UTC+01:00) Sarajevo, Skopje, Warsaw, Zagreb"},
    {"Romance Standard Time", "(UTC+01:00) Brussels, Copenhagen, Madrid, Paris"},
    {"W. Europe Standard Time", "(UTC+01:00) Amsterdam, Berlin, Bern, Rome, Stockholm, Vienna"},
    {"W. Central Africa Standard Time", "(UTC+01:00) West Central Africa"},
    {"E. Europe Standard Time", "(UTC+02:00) Athens, Bucharest"},
    {"Egypt Standard Time", "(UTC+02:00) Cairo"},
    {"FLE Standard Time", "(UTC+02:00) Helsinki, Kyiv, Riga, Sofia, Tallinn, Vilnius"},
    {"GTB Standard Time", "(UTC+02:00) Istanbul"},
    {"Israel Standard Time", "(UTC+02:00) Jerusalem"},
    {"South Africa Standard Time", "(UTC+02:00) Harare, Pretoria"},
    {"Russian Standard Time", "(UTC+03:00) Moscow, St. Petersburg, Volgograd"},
    {"Arab Standard Time", "(UTC+03:00) Kuwait, Riyadh"},
    {"E. Africa Standard Time", "(UTC+03:00) Nairobi"},
    {"Arabic Standard Time", "(UTC+03:00) Baghdad"},
    {"Iran Standard Time", "(UTC+03:30) Tehran"},
    {"Arabian Standard Time", "(UTC+04:00) Abu Dhabi, Muscat"},
    {"Caucasus Standard Time", "(UTC+04:00) Baku"},
    {"Transitional Islamic State of Afghanistan Standard Time", "(UTC+04:30) Kabul"},
    {"Ekaterinburg Standard Time", "(UTC+05:00) Ekaterinburg"},
    {"West Asia Standard Time", "(UTC+05:00) Islamabad, Karachi"},
    {"India Standard Time", "(UTC+05:30) Chennai, Kolkata, Mumbai, New Delhi"},
    {"Nepal Standard Time", "(UTC+05:45) Kathmandu"},
    {"Central Asia Standard Time", "(UTC+06:00) Astana"},
    {"Sri Lanka Standard Time", "(UTC+06:00) Sri Jayawardenepura"},
    {"N. Central Asia Standard Time", "(UTC+06:00) Novosibirsk"},
    {"Myanmar Standard Time", "(UTC+06:30) Yangon (Rangoon)"},
    {"SE Asia Standard Time", "(UTC+07:00) Bangkok, Hanoi, Jakarta"},
    {"North Asia Standard Time", "(UTC+07:00) Krasnoyarsk"},
    {"China Standard Time", "(UTC+08:00) Beijing, Chongqing, Hong Kong, Urumqi"},
    {"Singapore Standard Time", "(UTC+08:00) Kuala Lumpur, Singapore"},
    {"Taipei Standard Time", "(UTC+08:00) Taipei"},
    {"W. Australia Standard Time", "(UTC+08:00) Perth"},
    {"North Asia East Standard Time", "(UTC+08:00) Irkutsk"},
    {"Korea Standard Time", "(UTC+09:00) Seoul"},
    {"Tokyo Standard Time", "(UTC+09:00) Osaka, Sapporo, Tokyo"},
    {"Yakutsk Standard Time", "(UTC+09:00) Yakutsk"},
    {"AUS Central Standard Time", "(UTC+09:30) Darwin"},
    {"Cen. Australia Standard Time", "(UTC+09:30) Adelaide"},
    {"AUS Eastern Standard Time", "(UTC+10:00) Canberra, Melbourne, Sydney"},
    {"E. Australia Standard Time", "(UTC+10:00) Brisbane"},
    {"Tasmania Standard Time", "(UTC+10:00) Hobart"},
    {"Vladivostok Standard Time", "(UTC+10:00) Vladivostok"},
    {"West Pacific Standard Time", "(UTC+10:00) Guam, Port Moresby"},
    {"Central Pacific Standard Time", "(UTC+11:00) Solomon Is., New Caledonia"},
    {"Fiji Islands Standard Time", "(UTC+12:00) Fiji"},
    {"New Zealand Standard Time", "(UTC+12:00) Auckland, Wellington"},
    {"Tonga Standard Time", "(UTC+13:00) Nuku'alofa"},
    {"SA Western Standard Time", "(UTC-04:00) Caracas"},
    {"SA Pacific Standard Time", "(UTC-05:00) Bogota, Lima, Quito"},
    {"SA Eastern Standard Time", "(UTC-03:00) Buenos Aires"},
    {"Pacific Standard Time (Mexico)", "(UTC-08:00) Baja California"},
    {"Yukon Standard Time", "(UTC-07:00) Yukon"},
    {"Easter Island Standard Time", "(UTC-06:00) Easter Island"},
    {"Eastern Standard Time (Mexico)", "(UTC-05:00) Chetumal"},
    {"Haiti Standard Time", "(UTC-05:00) Haiti"},
    {"Cuba Standard Time", "(UTC-05:00) Havana"},
    {"Paraguay Standard Time", "(UTC-04:00) Asuncion"},
    {"Venezuela Standard Time", "(UTC-04:00) Caracas"},
    {"Central Brazilian Standard Time", "(UTC-04:00) Cuiaba"},
    {"SA Western Standard Time", "(UTC-04:00) Georgetown, La Paz, Manaus, San Juan"},
    {"SA Eastern Standard Time", "(UTC-03:00) Cayenne, Fortaleza"},
    {"Argentina Standard Time", "(UTC-03:00) City of Buenos Aires"},
    {"Montevideo Standard Time", "(UTC-03:00) Montevideo"},
    {"Magallanes Standard Time", "(UTC-03:00) Punta Arenas"},
    {"Saint Pierre Standard Time", "(UTC-03:00) Saint Pierre and Miquelon"},
    {"Bahia Standard Time", "(UTC-03:00) Salvador"},
    {"UTC", "(UTC) Coordinated Universal Time"},
    {"GMT Standard Time", "(UTC+00:00) Dublin, Edinburgh, Lisbon, London"},
    {"Greenwich Standard Time", "(UTC+00:00) Monrovia, Reykjavik"},
    {"Morocco Standard Time", "(UTC+01:00) Casablanca"},
    {"Jordan Standard Time", "(UTC+02:00) Amman"},
    {"Middle East Standard Time", "(UTC+02:00) Beirut"},
    {"Syria Standard Time", "(UTC+02:00) Damascus"},
    {"West Bank Standard Time", "(UTC+02:00) Gaza, Hebron"},
    {"Turkey Standard Time", "(UTC+03:00) Istanbul"},
    {"Belarus Standard Time", "(UTC+03:00) Minsk"},
    {"Pakistan Standard Time", "(UTC+05:00) Islamabad, Karachi"},
};

// A lookup never walks further than this, whatever the table holds.
constexpr std::size_t kDisplayRowsWalkedMax = 125;

enum class Match { kStartsWith, kIs };

// One alias rule: a name that starts with / is `key` (letter case ignored)
// gets `zone_id`.
struct AliasRule {
    Match match;
    std::string_view key;
    std::string_view zone_id;
};

constexpr std::string_view kPacific = "Pacific Standard Time";
constexpr std::string_view kMountain = "Mountain Standard Time";
constexpr std::string_view kCentral = "Central Standard Time";
constexpr std::string_view kEastern = "Eastern Standard Time";
constexpr std::string_view kGmt = "GMT Standard Time";
constexpr std::string_view kWEurope = "W. Europe Standard Time";
constexpr std::string_view kCentralEurope = "Central Europe Standard Time";
constexpr std::string_view kArabian = "Arabian Standard Time";
constexpr std::string_view kArab = "Arab Standard Time";

using enum Match;

// Applied in order; every rule that matches overwrites the id, so the last
// matching rule decides.  "Asia/" and "Atlantic/" set a default that a
// later, more precise rule replaces.
constexpr AliasRule kAliasRules[] = {
    {kStartsWith, "(UTC)", kGmt},
    {kStartsWith, "(GMT)", kGmt},
    {kStartsWith, "(UTC+01:00)", kWEurope},
    {kStartsWith, "(UTC+00:00)", kGmt},
    {kStartsWith, "(UTC-06:00)", kCentral},
    {kStartsWith, "(UTC-05:00)", kEastern},
    {kStartsWith, "(UTC-07:00)", kMountain},
    {kStartsWith, "(UTC-08:00)", kPacific},
    {kStartsWith, "(GMT+01:00)", kWEurope},
    {kStartsWith, "(GMT+00:00)", kGmt},
    {kStartsWith, "(GMT-06:00)", kCentral},
    {kStartsWith, "(GMT-05:00)", kEastern},
    {kStartsWith, "(GMT-07:00)", kMountain},
    {kStartsWith, "(GMT-08:00)", kPacific},
    {kStartsWith, "GMT +0000", kGmt},
    {kStartsWith, "GMT -0000", kGmt},
    {kStartsWith, "GMT -0008", kPacific},
    {kStartsWith, "GMT +0001", kWEurope},
    {kStartsWith, "GMT -0006", kCentral},
    {kStartsWith, "GMT -0005", kEastern},
    {kStartsWith, "GMT -0007", kMountain},
    {kStartsWith, "GMT -0800", kPacific},
    {kStartsWith, "GMT +0100", kWEurope},
    {kStartsWith, "GMT -0600", kCentral},
    {kStartsWith, "GMT -0500", kEastern},
    {kStartsWith, "GMT -0700", kMountain},
    {kStartsWith, "GMT +0400", kArabian},
    {kStartsWith, "GMT +0300", kArab},
    {kStartsWith, "GMT +0200", "E. Europe Standard Time"},
    {kStartsWith, "GMT-8", kPacific},
    {kStartsWith, "GMT+1", kWEurope},
    {kStartsWith, "GMT-6", kCentral},
    {kStartsWith, "GMT-5", kEastern},
    {kStartsWith, "GMT-7", kMountain},
    {kStartsWith, "GMT+4", kArabian},
    {kStartsWith, "GMT+3", kArab},
    {kStartsWith, "GMT+8", "Singapore Standard Time"},
    {kStartsWith, "GMT+9", "Tokyo Standard Time"},
    {kStartsWith, "GMT+5:45", "Nepal Standard Time"},
    {kStartsWith, "Pacific Time (US & Canada)", kPacific},
    {kStartsWith, "Mountain Time (US & Canada)", kMountain},
    {kStartsWith, "Central Time (US & Canada)", kCentral},
    {kStartsWith, "Eastern Time (US & Canada)", kEastern},
    {kIs, "US Pacific Standard Time", kPacific},
    {kIs, "US Central Standard Time", kCentral},
    {kIs, "US Eastern Standard Time", kEastern},
    {kStartsWith, "US Pacific", kPacific},
    {kStartsWith, "US Central", kCentral},
    {kStartsWith, "US Eastern", kEastern},
    {kStartsWith, "Central America", kCentral},
    {kStartsWith, "Canada Central", kCentral},
    {kStartsWith, "Canada Eastern", kEastern},
    {kStartsWith, "Canada Pacific", kPacific},
    {kStartsWith, "Canada Mountain", kMountain},
    {kStartsWith, "Standard Time", kGmt},
    {kIs, "Mountain", kMountain},
    {kIs, "Pacific", kPacific},
    {kIs, "Central", kCentral},
    {kIs, "Eastern", kEastern},
    {kIs, "Eastern Time Standard Time", kEastern},
    {kIs, "Pacific Time Standard Time", kPacific},
    {kIs, "Central Time Standard Time", kCentral},
    {kIs, "Mountain Time Standard Time", kMountain},
    {kIs, "Arizona", "US Mountain Standard Time"},
    {kIs, "US/Arizona", "US Mountain Standard Time"},
    {kStartsWith, "Customized Time Zone", kWEurope},
    {kStartsWith, "Amsterdam", kWEurope},
    {kIs, "Greenland (Danmarkshavn)", kGmt},
    {kIs, "(GMT) Greenwich Mean Time", kGmt},
    {kIs, "Greenwich Mean Time", kGmt},
    {kStartsWith, "Antarctica", kGmt},
    {kIs, "Antarctica (Casey)", "W. Australia Standard Time"},
    {kIs, "Guadalajara, Mexico City, Monterrey", kCentral},
    // Chihuahua keeps UTC-07:00 in winter: Mountain, not Pacific.
    {kIs, "Chihuahua, La Paz, Mazatlan", kMountain},
    {kIs, "Bogota, Lima, Quito, Rio Branco", kEastern},
    {kIs, "Central (Mexico) Standard Time", kCentral},
    {kIs, "Pacific (Mexico) Standard Time", kPacific},
    {kIs, "Mountain (Mexico) Standard Time", kMountain},
    {kIs, "Eastern (Mexico) Standard Time", kEastern},
    {kStartsWith, "Beijing", "China Standard Time"},
    {kStartsWith, "Krasnoyarsk", "North Asia Standard Time"},
    {kStartsWith, "Jerusalem", "Israel Standard Time"},
    {kStartsWith, "Kaliningrad", "E. Europe Standard Time"},
    {kStartsWith, "Athens", "E. Europe Standard Time"},
    {kStartsWith, "Caucasus", "Mauritius Standard Time"},
    {kIs, "Arabian", kArabian},
    {kStartsWith, "Asia/", "China Standard Time"},
    {kIs, "Asia/Chongqing", "China Standard Time"},
    {kIs, "Asia/Shanghai", "China Standard Time"},
    {kIs, "Asia/Kuala_Lumpur", "Singapore Standard Time"},
    {kIs, "Asia/Singapore", "Singapore Standard Time"},
    {kIs, "Asia/Bangkok", "SE Asia Standard Time"},
    {kIs, "Asia/Ho_Chi_Minh", "SE Asia Standard Time"},
    {kIs, "Asia/Hanoi", "SE Asia Standard Time"},
    {kIs, "Asia/Phnom_Penh", "SE Asia Standard Time"},
    {kIs, "Asia/Taipei", "Taipei Standard Time"},
    {kIs, "Asia/Yangon", "Myanmar Standard Time"},
    {kIs, "Asia/Seoul", "Korea Standard Time"},
    {kIs, "Asia/Tokyo", "Tokyo Standard Time"},
    {kStartsWith, "China/Singapore", "China Standard Time"},
    {kStartsWith, "Japan/Korea", "Tokyo Standard Time"},
    {kStartsWith, "Unknown Time Zone", "E. South America Standard Time"},
    {kStartsWith, "Atlantic/", kGmt},
    {kStartsWith, "Atlantic/Azores", kWEurope},
};

// tz database names of the Americas; an unlisted one gets Pacific.
constexpr AliasRule kAmericaRules[] = {
    {kIs, "America/Mexico_City", kCentral},
    {kIs, "America/Los_Angeles", kPacific},
    {kIs, "America/Vancouver", kPacific},
    {kIs, "America/New_York", kEastern},
    {kIs, "America/Boise", kMountain},
    {kIs, "America/Chicago", kCentral},
    {kIs, "America/Denver", kMountain},
    {kIs, "America/Phoenix", kMountain},
    {kIs, "America/Indiana/Indianapolis", kEastern},
    {kIs, "America/Detroit", kEastern},
    {kIs, "America/Montreal", kEastern},
    {kIs, "America/Rio_Branco", kEastern},
};

// tz database names of Europe; an unlisted one gets W. Europe.
constexpr AliasRule kEuropeRules[] = {
    {kIs, "Europe/London", kGmt},
    {kIs, "Europe/Dublin", kGmt},
    {kIs, "Europe/Edinburgh", kGmt},
    // Athens and Helsinki keep UTC+02:00, an hour east of Central Europe.
    {kIs, "Europe/Athens", "GTB Standard Time"},
    {kIs, "Europe/Helsinki", "FLE Standard Time"},
};

// Every other name: colloquial abbreviations and the remaining regions.
// An unlisted name under these prefixes keeps what the alias rules gave.
constexpr AliasRule kOtherRules[] = {
    {kIs, "Est", kEastern},
    {kIs, "Mst", kMountain},
    {kIs, "Cst", kCentral},
    {kIs, "Pst", kPacific},
    {kIs, "CET", kCentralEurope},
    {kIs, "Malay Peninsula Standard Time", "Singapore Standard Time"},
    {kIs, "Arab/E. Africa/Russian", kArab},
    {kIs, "Australia/Sydney", "AUS Eastern Standard Time"},
    // Adelaide keeps daylight saving time, Darwin does not; Perth is UTC+08:00.
    {kIs, "Australia/Adelaide", "Cen. Australia Standard Time"},
    {kIs, "Australia/Darwin", "AUS Central Standard Time"},
    {kIs, "Australia/Perth", "W. Australia Standard Time"},
    {kIs, "Australia/Hobart", "Tasmania Standard Time"},
    {kIs, "Africa/Ceuta", kCentralEurope},
    {kIs, "Africa/Cairo", "Egypt Standard Time"},
    {kIs, "Africa/Johannesburg", "South Africa Standard Time"},
    {kIs, "US/Eastern", kEastern},
    {kIs, "US/Mountain", kMountain},
    {kIs, "US/Central", kCentral},
    {kIs, "US/Pacific", kPacific},
    {kStartsWith, "India/", "India Standard Time"},
};

bool Matches(const AliasRule &rule, std::string_view name)
{
    return rule.match == kIs ? EqualsNoCase(name, rule.key) : StartsWithNoCase(name, rule.key);
}

template <std::size_t N>
void ApplyRules(const AliasRule (&rules)[N], std::string_view name, std::string &id)
{
    for (const AliasRule &rule : rules)
        if (Matches(rule, name))
            id = rule.zone_id;
}

} // namespace

std::span<const ZoneDisplayRow> ZoneDisplayTable()
{
    return kZoneDisplayRows;
}

std::string MapTimeZoneId(std::string_view name)
{
    const std::size_t walked = std::min(std::size(kZoneDisplayRows), kDisplayRowsWalkedMax);
    for (std::size_t i = 0; i < walked; ++i)
        if (kZoneDisplayRows[i].display_name == name)
            return std::string(kZoneDisplayRows[i].zone_id);

    std::string id(name);
    ApplyRules(kAliasRules, name, id);
    if (StartsWithNoCase(name, "America/")) {
        id = kPacific;
        ApplyRules(kAmericaRules, name, id);
        return id;
    }
    // The one alias spelled only this way.
    if (name == "Canada/Pacific")
        id = kPacific;
    if (StartsWithNoCase(name, "Europe/")) {
        id = kWEurope;
        ApplyRules(kEuropeRules, name, id);
        return id;
    }
    ApplyRules(kOtherRules, name, id);
    return id;
}

} // namespace qvamz::calendar
