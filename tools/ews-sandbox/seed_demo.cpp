// `ews-sandbox seed --demo`: a small, realistic mailbox for the demo and
// the integration tests.  The content is generated here, deterministically
// (fixed dates, boundaries and ids), so two seeded stores hold the same
// bytes.  It covers what migrations trip over: folded headers, RFC 2047
// subjects and names in several charsets, multipart/alternative inside
// multipart/related inside multipart/mixed with an inline PNG, PDF and text
// attachments (one with an RFC 2231 name), an attached message, base64 and
// quoted-printable bodies, flags, read and unread, categories, replied and
// forwarded icons, dates over several years and nested folders.
#include <cctype>
#include <iostream>

#include "calendar_seed.hpp"
#include "contact_seed.hpp"
#include "demo_mime.hpp"
#include "item_props.hpp"
#include "mail_store.hpp"
#include "mailbox_tools.hpp"
#include "mime_build.hpp"
#include "task_item.hpp"

namespace sandbox {

namespace {

using namespace demo;

enum class Shape { Plain, Html, Alternative, Rich, Attachments, Forward };

struct Person {
    std::string name; // UTF-8
    std::string address;
    const char *charset; // what this person's mail program writes
    char encoding;       // RFC 2047 'B' or 'Q'
    const char *mailer;
};

// Index 0 is the mailbox owner (address filled in at run time).
const Person kPeople[] = {
    {"", "", "UTF-8", 'B', "Microsoft Outlook 16.0"},
    {"Jürgen Müller", "juergen.mueller@example.de", "ISO-8859-1", 'Q', "Thunderbird 115.8.0"},
    {"Zoë Martin", "zoe.martin@example.fr", "ISO-8859-15", 'Q', "Apple Mail (2.3774.400.31)"},
    {"Иван Петров", "ivan.petrov@example.ru", "KOI8-R", 'B', "Mozilla Thunderbird"},
    {"山田 太郎", "taro.yamada@example.jp", "ISO-2022-JP", 'B', "Becky! ver. 2.81"},
    {"María José García", "mj.garcia@example.es", "windows-1252", 'Q', "Microsoft Outlook 16.0"},
    {"Łukasz Żółkiewski", "lukasz.z@example.pl", "ISO-8859-2", 'Q', "Claws Mail 4.1.1"},
    {"Alex Chen", "alex.chen@example.com", "UTF-8", 'B', "Microsoft Outlook 16.0"},
    {"ACME Billing", "billing@acme.example", "UTF-8", 'Q', "ACME Mailer 2.0"},
};

struct DemoMail {
    const char *folder;
    std::string date; // UTC
    int tz_minutes;   // of the sender's Date header
    int from;
    std::vector<int> to, cc;
    std::string subject; // UTF-8
    Shape shape;
    const char *body; // UTF-8
    bool read = true;
    int flag_status = 0;        // PR_FLAG_STATUS: 1 complete, 2 flagged
    int icon = 0;               // PR_ICON_INDEX: 261 replied, 262 forwarded
    const char *categories = ""; // ";" between names
    const char *priority = "";  // X-Priority header
};

const std::vector<DemoMail> &demo_mails() {
    static const std::vector<DemoMail> mails = {
        {"Inbox", "2026-02-27T08:15:00Z", 60, 1, {0}, {7}, "Grüße aus München: Projektstart",
         Shape::Plain, "Hallo,\n\nwir starten am Montag. Die Unterlagen schicke ich vorab.\n\nViele Grüße\nJürgen",
         false, 2, 0, "Projekt Alpha"},
        {"Inbox", "2026-02-26T16:40:12Z", 60, 2, {0}, {}, "Réunion de lundi : ordre du jour",
         Shape::Alternative, "Bonjour,\n\nVoici l'ordre du jour : budget, planning, café.\n\nÀ lundi,\nZoë",
         true, 0, 261},
        {"Inbox", "2026-02-25T09:02:44Z", 180, 3, {0}, {1, 7}, "Отчёт за февраль",
         Shape::Attachments, "Добрый день!\n\nОтчёт во вложении.\n\nИван", false, 0, 0, "Finance"},
        {"Inbox", "2026-02-20T01:30:00Z", 540, 4, {0}, {}, "会議の資料について", Shape::Plain,
         "お世話になっております。\n会議の資料をお送りします。\n\n山田", true, 1, 0, "", "1 (Highest)"},
        {"Inbox", "2026-02-18T11:11:11Z", 60, 5, {0, 7}, {2}, "Presupuesto 2026 – versión final (€)",
         Shape::Rich, "Hola a todos,\n\nadjunto el presupuesto definitivo con el gráfico.\n\nSaludos,\nMaría José",
         true, 0, 262, "Finance;Projekt Alpha"},
        {"Inbox", "2026-01-30T13:45:00Z", 60, 6, {0}, {}, "Zażółć gęślą jaźń – test znaków",
         Shape::Html, "<p>Cześć!</p><p>To jest <b>test</b> polskich znaków: ąćęłńóśźż.</p>", false},
        {"Inbox", "2026-01-12T07:00:00Z", -300, 7, {0}, {}, "Fwd: Contract draft for review",
         Shape::Forward, "See the original below. Can you check clause 4?\n\nAlex", true, 2, 262, "Legal"},
        {"Inbox/Projects", "2025-11-03T10:00:00Z", 0, 7, {0, 1, 2, 3}, {5, 6},
         "Kick-off: cross-team migration project with a deliberately long subject line that "
         "needs folding",
         Shape::Alternative, "Hi all,\n\nthe kick-off is on Thursday. Agenda attached later.\n\nAlex",
         true, 0, 261, "Projekt Alpha"},
        {"Inbox/Projects/Archive 2019", "2019-06-14T15:20:00Z", 120, 1, {0}, {},
         "Alte Projektunterlagen (Übergabe)", Shape::Attachments,
         "Anbei die Übergabeunterlagen von 2019.\n\nJürgen", true, 1},
        {"Inbox/Receipts", "2025-12-01T06:00:00Z", 0, 8, {0}, {}, "Your invoice INV-2025-1201",
         Shape::Attachments, "Thank you for your business. Your invoice is attached.", true, 0, 0, "Receipts"},
        {"Inbox/Réunions", "2025-10-07T09:30:00Z", 120, 2, {0}, {1}, "Compte rendu – réunion d'octobre",
         Shape::Plain, "Bonjour,\n\nle compte rendu est prêt. Prochaine réunion en novembre.\n\nZoë", false},
        {"Sent Items", "2026-02-26T17:05:00Z", 60, 0, {2}, {}, "Re: Réunion de lundi : ordre du jour",
         Shape::Plain, "Merci Zoë, parfait pour moi.\n", true},
        {"Sent Items", "2026-02-19T08:00:00Z", 60, 0, {7}, {}, "Fwd: Presupuesto 2026 – versión final (€)",
         Shape::Plain, "Alex, FYI – the final budget from María José.\n", true},
        {"Drafts", "2026-02-28T12:00:00Z", 60, 0, {1}, {}, "Entwurf: Antwort an Jürgen", Shape::Plain,
         "Hallo Jürgen,\n\nich melde mich morgen mit Details.\n", true},
        {"Deleted Items", "2024-05-05T05:05:05Z", 0, 8, {0}, {}, "Limited offer!!! 50% off",
         Shape::Html, "<h1>Offer</h1><p>Buy now &amp; save.</p>", true},
        {"Junk Email", "2025-03-03T03:03:03Z", 0, 8, {0}, {}, "You have won", Shape::Plain,
         "Click here to claim your prize.", false, 0, 0, "", "5 (Lowest)"},
    };
    return mails;
}

// A generated batch: status mails over several years, spread over folders.
std::vector<DemoMail> generated_mails() {
    static const char *topics[] = {"Weekly status", "Budget check", "Release notes", "Risk review",
                                   "Team lunch", "Server upgrade", "Customer feedback", "Q&A session"};
    static const char *folders[] = {"Inbox/Projects/2026", "Archive/2021", "Archive/2022", "Inbox"};
    std::vector<DemoMail> out;
    for (int n = 0; n < 20; ++n) {
        int year = n % 4 == 0 ? 2026 : (n % 4 == 1 ? 2021 : (n % 4 == 2 ? 2022 : 2025));
        char date[32];
        std::snprintf(date, sizeof date, "%04d-%02d-%02dT%02d:%02d:00Z", year, 1 + n % 12, 1 + (n * 7) % 28,
                      8 + n % 9, (n * 13) % 60);
        std::string s = std::string(topics[n % 8]) + " #" + std::to_string(n + 1);
        Shape shape = n % 5 == 0 ? Shape::Alternative : (n % 7 == 0 ? Shape::Html : Shape::Plain);
        out.push_back({folders[n % 4], date, 0, 1 + n % 8, {0}, {}, s, shape,
                       "Short update: everything is on track.\nNext steps follow.", n % 3 != 0,
                       n % 6 == 0 ? 2 : 0, n % 5 == 1 ? 261 : 0, n % 4 == 0 ? "Projekt Alpha" : ""});
    }
    return out;
}

std::string address_header(const Person &p) {
    if (p.name.empty()) return p.address;
    return encoded_words(p.name, p.charset, p.encoding) + " <" + p.address + ">";
}

std::string domain_of(const std::string &address) { return address.substr(address.find('@') + 1); }

struct Builder {
    int serial = 0;
    std::string boundary(int level) {
        return "----=_Part_" + std::to_string(serial) + "_" + std::to_string(level) + ".1709000000";
    }
};

std::string text_part(const Person &p, const std::string &utf8, const char *subtype) {
    std::string cs = p.charset;
    if (cs == "ISO-2022-JP")
        return std::string("Content-Type: text/") + subtype + "; charset=\"ISO-2022-JP\"\r\n"
               "Content-Transfer-Encoding: 7bit\r\n\r\n" + to_charset(utf8, "ISO-2022-JP") + "\r\n";
    if (cs == "UTF-8" || cs == "KOI8-R")
        return std::string("Content-Type: text/") + subtype + "; charset=\"" + cs + "\"\r\n"
               "Content-Transfer-Encoding: base64\r\n\r\n" + base64_lines(to_charset(utf8, p.charset));
    return std::string("Content-Type: text/") + subtype + "; charset=\"" + cs + "\"\r\n"
           "Content-Transfer-Encoding: quoted-printable\r\n\r\n" +
           quoted_printable(to_charset(utf8, p.charset)) + "\r\n";
}

std::string html_of(const std::string &text) {
    std::string html = "<html><body><p>";
    for (char c : text) {
        if (c == '\n') html += "<br>\n";
        else if (c == '<') html += "&lt;";
        else if (c == '&') html += "&amp;";
        else html += c;
    }
    return html + "</p></body></html>";
}

std::string multipart(const std::string &type, const std::string &boundary,
                      const std::vector<std::string> &parts) {
    std::string out = "Content-Type: " + type + ";\r\n\tboundary=\"" + boundary + "\"\r\n\r\n";
    out += "This is a multi-part message in MIME format.\r\n\r\n";
    for (const auto &p : parts) out += "--" + boundary + "\r\n" + p + "\r\n";
    return out + "--" + boundary + "--\r\n";
}

std::string attachment(const std::string &type, const std::string &disposition_name,
                       const std::string &bytes, const std::string &cid = "") {
    std::string out = "Content-Type: " + type + "\r\n";
    out += cid.empty() ? "Content-Disposition: attachment;\r\n\t" + disposition_name + "\r\n"
                       : "Content-Disposition: inline;\r\n\t" + disposition_name + "\r\nContent-ID: <" + cid + ">\r\n";
    return out + "Content-Transfer-Encoding: base64\r\n\r\n" + base64_lines(bytes);
}

std::string build_demo_mime(const DemoMail &m, int serial, const std::vector<Person> &people) {
    Builder b{serial};
    const Person &from = people[static_cast<std::size_t>(m.from)];
    UnixTime t = *parse_ews_time(m.date);
    std::string h;
    h += "Return-Path: <" + from.address + ">\r\n";
    h += "Received: from mail." + domain_of(from.address) + " (mail." + domain_of(from.address) +
         " [192.0.2." + std::to_string(10 + serial) + "])\r\n\tby mx.sandbox.example with ESMTPS id " +
         std::to_string(4096 + serial * 17) + ";\r\n\t" + rfc5322_date(t + 3) + "\r\n";
    h += "Message-ID: <" + std::to_string(t) + "." + std::to_string(serial) + "@" + domain_of(from.address) + ">\r\n";
    h += "Date: " + rfc5322_date(t, m.tz_minutes) + "\r\n";
    h += "From: " + address_header(from) + "\r\n";
    auto list = [&](const char *name, const std::vector<int> &who) {
        if (who.empty()) return;
        h += name;
        h += ": ";
        for (std::size_t i = 0; i < who.size(); ++i)
            h += (i ? ",\r\n " : "") + address_header(people[static_cast<std::size_t>(who[i])]);
        h += "\r\n";
    };
    list("To", m.to);
    list("Cc", m.cc);
    h += "Subject: " + encoded_words(m.subject, from.charset, from.encoding) + "\r\n";
    if (*m.priority) h += "X-Priority: " + std::string(m.priority) + "\r\n";
    h += "MIME-Version: 1.0\r\nX-Mailer: " + std::string(from.mailer) + "\r\n";

    std::string body = m.body;
    switch (m.shape) {
    case Shape::Plain: return h + text_part(from, body, "plain");
    case Shape::Html: return h + text_part(from, body, "html");
    case Shape::Alternative:
        return h + multipart("multipart/alternative", b.boundary(1),
                             {text_part(from, body, "plain"), text_part(from, html_of(body), "html")});
    case Shape::Rich: {
        std::string html = html_of(body);
        html.insert(html.rfind("</body>"), "<img src=\"cid:chart001@demo\" alt=\"chart\">");
        std::string alternative = multipart("multipart/alternative", b.boundary(3),
                                            {text_part(from, body, "plain"), text_part(from, html, "html")});
        std::string related = multipart("multipart/related; type=\"multipart/alternative\"", b.boundary(2),
                                        {alternative, attachment("image/png; name=\"chart.png\"",
                                                                 "filename=\"chart.png\"",
                                                                 tiny_png(8, 8, 200, 30, 30), "chart001@demo")});
        return h + multipart("multipart/mixed", b.boundary(1),
                             {related, attachment("application/pdf; name=\"presupuesto-2026.pdf\"",
                                                  "filename=\"presupuesto-2026.pdf\"",
                                                  tiny_pdf("Presupuesto 2026"))});
    }
    case Shape::Attachments:
        return h + multipart("multipart/mixed", b.boundary(1),
                             {text_part(from, body, "plain"),
                              attachment("application/pdf; name=\"report.pdf\"", "filename=\"report.pdf\"",
                                         tiny_pdf("Report")),
                              attachment("text/plain; charset=\"utf-8\"; name=\"=?UTF-8?Q?=C3=9Cbersicht.txt?=\"",
                                         "filename*=UTF-8''%C3%9Cbersicht.txt",
                                         "Übersicht\nZeile 1\nZeile 2\n")});
    case Shape::Forward: {
        const Person &orig = people[1];
        std::string inner = "From: " + address_header(orig) + "\r\nTo: " + address_header(people[7]) +
                            "\r\nSubject: Contract draft for review\r\nDate: " + rfc5322_date(t - 86400, 60) +
                            "\r\nMessage-ID: <inner." + std::to_string(serial) + "@example.de>\r\n"
                            "MIME-Version: 1.0\r\n" +
                            text_part(orig, "Anbei der Vertragsentwurf.\nGruß, Jürgen", "plain");
        return h + multipart("multipart/mixed", b.boundary(1),
                             {text_part(from, body, "plain"),
                              "Content-Type: message/rfc822\r\nContent-Disposition: attachment\r\n\r\n" + inner});
    }
    }
    return h;
}

std::vector<std::string> split_categories(const std::string &s) {
    std::vector<std::string> out;
    std::size_t pos = 0;
    while (pos < s.size()) {
        std::size_t semi = s.find(';', pos);
        std::string c = s.substr(pos, semi == std::string::npos ? std::string::npos : semi - pos);
        if (!c.empty()) out.push_back(c);
        pos = semi == std::string::npos ? s.size() : semi + 1;
    }
    return out;
}

} // namespace

int seed_demo(const std::string &data_dir, const std::string &mailbox) {
    try {
        auto store = MailStore::open(data_dir);
        if (!store) return 1;
        std::int64_t box = store->ensure_mailbox(mailbox);
        for (const auto &f : store->folders(box)) {
            if (f.total > 0) {
                std::cerr << "ews-sandbox seed: " << mailbox
                          << " already holds items; --demo seeds empty mailboxes only\n";
                return 1;
            }
        }
        std::vector<Person> people(std::begin(kPeople), std::end(kPeople));
        people[0].name = mailbox.substr(0, mailbox.find('@'));
        if (!people[0].name.empty())
            people[0].name[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(people[0].name[0])));
        people[0].address = mailbox;

        std::vector<DemoMail> all = demo_mails();
        for (auto &g : generated_mails()) all.push_back(g);
        int serial = 0;
        for (const auto &m : all) {
            ++serial;
            FolderInfo folder = store->ensure_folder_path(box, m.folder);
            UnixTime t = *parse_ews_time(m.date);
            StoredItem item = message_item_from_mime(build_demo_mime(m, serial, people), t);
            item.info.mailbox = box;
            item.info.folder = folder.id;
            bool draft = std::string(m.folder) == "Drafts";
            item.info.message_flags = (m.read ? 0x1 : 0) | (draft ? 0x8 : 0);
            item.info.categories = split_categories(m.categories);
            if (m.flag_status) {
                item.extended.push_back({"0x1090", "Integer", {std::to_string(m.flag_status)}});
                if (m.flag_status == 2) item.extended.push_back({"0x1095", "Integer", {"6"}});
            }
            if (m.icon) item.extended.push_back({"0x1080", "Integer", {std::to_string(m.icon)}});
            store->add_item(item);
        }
        const int tasks = seed_demo_tasks(*store, box, mailbox);
        std::size_t events = seed_demo_calendar(*store, box);
        const int contacts = seed_demo_contacts(*store, box, mailbox);
        std::cout << "seeded " << all.size() << " demo messages, " << events << " calendar items, "
                  << tasks << " tasks and " << contacts << " contacts into " << mailbox << "\n";
        return 0;
    } catch (const std::exception &e) {
        std::cerr << "ews-sandbox seed: " << e.what() << "\n";
        return 1;
    }
}

} // namespace sandbox
