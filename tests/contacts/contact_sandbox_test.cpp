// Contacts and a list through the ews-sandbox, the way a copy between two
// mailboxes goes: written into one mailbox, read from it, written into a
// second and read back; every field, the notes, each attachment's name and
// bytes and every list member survive.  The sandbox refuses requests the
// schema does not accept.
#ifdef QV_SANDBOX_PATH
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "ews/folder_table.hpp"
#include "frame/logon.hpp"
#include "mailread/convert_folder.hpp"
#include "mailwrite/bundle_writer.hpp"
#include "mailwrite/target_folders.hpp"
#include "qv/qvcom.hpp"
#include "qv_test_support.hpp"
#include "sandbox_fixture.hpp"
#include "test_support.hpp"

namespace {

using namespace qvamz;

// A record as the host keeps it between reading and writing: the fields,
// the parts with their file bytes, the recipients.
struct Snapshot {
    std::unique_ptr<qv_message> fields = std::make_unique<qv_message>();
    struct Part {
        int type;
        std::string name, bytes;
    };
    std::vector<Part> parts;
    std::vector<std::pair<std::string, std::string>> members; // name, address
};

Snapshot Take(const qv_message &msg, const std::string &work_dir)
{
    Snapshot s;
    std::memcpy(s.fields.get(), &msg, sizeof msg);
    std::memset(s.fields->parts, 0, sizeof s.fields->parts);
    std::memset(s.fields->recipients, 0, sizeof s.fields->recipients);
    std::memset(s.fields->breakouts, 0, sizeof s.fields->breakouts);
    s.fields->part_count = s.fields->recipient_count = s.fields->breakout_count = 0;
    for (int i = 0; i < msg.part_count; ++i)
        s.parts.push_back({msg.parts[i]->part_type, msg.parts[i]->file_name,
                           conntest::ReadFile(qvcom::part_file_path(work_dir, msg.msg_number, i))});
    for (int i = 0; i < msg.recipient_count; ++i)
        s.members.emplace_back(msg.recipients[i]->name, msg.recipients[i]->address);
    return s;
}

std::vector<Snapshot> *gRead = nullptr;
std::string gWorkDir;

int QV_STDCALL Output(qv_message *msg, void *, char *, int)
{
    gRead->push_back(Take(*msg, gWorkDir));
    return 0;
}
int QV_STDCALL Status(qv_message *, char *, int, int *, int *, int *) { return 0; }

// The contact fields a copy must keep, by name.
#define QV_CONTACT_FIELDS(X)                                                                      \
    X(first_name) X(middle_name) X(last_name) X(title) X(department) X(manager)                 \
    X(assistant_name) X(business_phone) X(home_phone) X(other_phone) X(business_phone2)         \
    X(assistant_phone) X(business_fax) X(mobile_phone) X(company) X(business_street)             \
    X(business_street2) X(business_city) X(business_state) X(business_postal_code)              \
    X(business_country) X(email1) X(email2) X(email3) X(pager) X(web_page) X(home_street)       \
    X(home_city) X(home_state) X(home_postal_code) X(home_country) X(file_as)

void ExpectSameContact(const Snapshot &a, const Snapshot &b)
{
#define QV_COMPARE(field) EXPECT_STREQ(a.fields->field, b.fields->field) << #field;
    QV_CONTACT_FIELDS(QV_COMPARE)
#undef QV_COMPARE
    EXPECT_EQ(a.fields->contact_kind, b.fields->contact_kind);
    ASSERT_EQ(a.parts.size(), b.parts.size());
    for (std::size_t i = 0; i < a.parts.size(); ++i) {
        EXPECT_EQ(a.parts[i].type, b.parts[i].type);
        EXPECT_EQ(a.parts[i].name, b.parts[i].name);
        // XML carries line ends as LF: notes written with CRLF come back so.
        std::string expected = a.parts[i].bytes;
        if (a.parts[i].type == QV_PART_TEXT_BODY)
            for (std::size_t at; (at = expected.find("\r\n")) != std::string::npos;)
                expected.erase(at, 1);
        EXPECT_EQ(expected, b.parts[i].bytes) << a.parts[i].name;
    }
    EXPECT_EQ(a.members, b.members);
}

class ContactSandbox : public sandbox_test::SandboxTest {
  protected:
    void SetUp() override
    {
        SandboxTest::SetUp();
        qvcom_reset_filters();
        qvcom_set_directory(QVCOM_DIR_WORK, work.dir().c_str());
        qvcom_set_directory(QVCOM_DIR_BASE, work.dir().c_str());
        add_user("first@example.com", "pw1");
        add_user("second@example.com", "pw2");
        start();
        qvcom_set_switches((" /CAFILE " + server->ca_file()).c_str());
        gWorkDir = work.dir();
    }
    void TearDown() override
    {
        qvcom_set_switches(nullptr);
        qvcom_reset_filters();
        SandboxTest::TearDown();
    }
    void Logon(const std::string &user, const std::string &password, int is_source)
    {
        session = std::make_unique<Session>();
        ASSERT_EQ(conntest::LogonAs(*session, user, password, server->ews_url(), is_source),
                  kLogonOk)
            << log.text();
    }
    void WriteAll(const std::string &user, const std::string &password,
                  const std::vector<Snapshot> &items)
    {
        Logon(user, password, 0);
        qvtest::Record folder = qvtest::new_record(0);
        qvtest::set_text(folder->group_folder, "root");
        ASSERT_EQ(InitWriteImpl(*session, folder.get(), "Contacts", QV_ITEM_CONTACT), 0)
            << log.text();
        for (const Snapshot &item : items) {
            qvtest::Record msg = qvtest::new_record(20);
            std::memcpy(msg.get(), item.fields.get(), sizeof(qv_message));
            msg->msg_number = 20;
            for (const auto &part : item.parts) {
                // Written here: the bytes may hold zeros.
                conntest::WriteFile(
                    qvcom::part_file_path(work.dir(), msg->msg_number, msg->part_count),
                    part.bytes);
                qvtest::add_part(*msg, work.dir(), part.type, part.name, nullptr);
            }
            for (const auto &[name, address] : item.members)
                qvtest::add_recipient(*msg, name, address, QV_RECIP_TO);
            EXPECT_EQ(WriteMsgImpl(*session, msg.get(), work.dir().c_str()), 0) << log.text();
            com_Deallocate_All(msg.get(), work.dir().c_str());
        }
        LogoffSession(*session, 0);
    }
    std::vector<Snapshot> ReadAll(const std::string &user, const std::string &password)
    {
        std::vector<Snapshot> read;
        Logon(user, password, 1);
        GetFolderNamesImpl(*session, [](char *) QV_STDCALL { return 0; });
        ConvertFolderArguments args;
        for (std::size_t i = 0; i < session->state.folders.size(); ++i)
            if (session->state.folders[i].folder_type == kFolderTypeContacts &&
                session->state.folders[i].display_name == "Contacts")
                args.folder_index = static_cast<int>(i);
        qvtest::Record msg = qvtest::new_record(7);
        int count = 0;
        gRead = &read;
        args.msg = msg.get();
        args.output = &Output;
        args.status = &Status;
        args.work_dir = work.dir();
        args.out_count = &count;
        EXPECT_EQ(ConvertFolderImpl(*session, args), 0);
        gRead = nullptr;
        LogoffSession(*session, 0);
        return read;
    }

    conntest::ScratchDir work;
    conntest::LogCapture log{work};
    conntest::FakeClock clock;
    std::unique_ptr<Session> session;
};

TEST_F(ContactSandbox, ContactsAndAListSurviveACopy)
{
    std::vector<Snapshot> originals(2);
    qv_message &c = *originals[0].fields;
    qvtest::set_text(c.first_name, "Zoë");
    qvtest::set_text(c.middle_name, "M.");
    qvtest::set_text(c.last_name, "Ünal <O'Brien>");
    qvtest::set_text(c.title, "Head of R&D");
    qvtest::set_text(c.department, "Forschung");
    qvtest::set_text(c.manager, "Boss");
    qvtest::set_text(c.assistant_name, "Ari");
    qvtest::set_text(c.company, "Ünal & Partner");
    qvtest::set_text(c.email1, "zoe@unal.example");
    qvtest::set_text(c.email2, "zoe@home.example");
    qvtest::set_text(c.email3, "z@old.example");
    qvtest::set_text(c.business_street, "Hauptstraße 1");
    qvtest::set_text(c.business_street2, "Floor 3");
    qvtest::set_text(c.business_city, "Zürich");
    qvtest::set_text(c.business_state, "ZH");
    qvtest::set_text(c.business_postal_code, "8001");
    qvtest::set_text(c.business_country, "Switzerland");
    qvtest::set_text(c.home_street, "Seeweg 7");
    qvtest::set_text(c.home_city, "Küsnacht");
    qvtest::set_text(c.home_postal_code, "8700");
    for (char *phone : {c.business_phone, c.home_phone, c.other_phone, c.business_phone2,
                        c.assistant_phone, c.business_fax, c.mobile_phone, c.pager})
        std::strcpy(phone, ("+41 44 " + std::to_string(phone - c.business_phone)).c_str());
    qvtest::set_text(c.web_page, "https://unal.example");
    qvtest::set_text(c.file_as, "Ünal, Zoë");
    c.item_type = QV_ITEM_CONTACT;
    originals[0].parts = {{QV_PART_TEXT_BODY, "Message Text", "Notes: met in Zürich.\r\nCall back."},
                          {QV_PART_ATTACHMENT, "card.pdf", qvtest::sample_bytes(5000, 3)},
                          {QV_PART_ATTACHMENT, "photo.jpg", qvtest::sample_bytes(700, 4)}};

    qv_message &l = *originals[1].fields;
    l.item_type = QV_ITEM_CONTACT;
    l.contact_kind = 1;
    qvtest::set_text(l.title, "Team Ω");
    originals[1].members = {{"Ann Inside", "first@example.com"},
                            {"Bob Extern", "bob@extern.example"}};

    WriteAll("first@example.com", "pw1", originals);
    const std::vector<Snapshot> first = ReadAll("first@example.com", "pw1");
    ASSERT_EQ(first.size(), 2u) << log.text();
    const Snapshot &contact = first[0].fields->contact_kind == 1 ? first[1] : first[0];
    const Snapshot &list = first[0].fields->contact_kind == 1 ? first[0] : first[1];
    ExpectSameContact(originals[0], contact);
    EXPECT_STREQ(list.fields->title, "Team Ω");
    EXPECT_EQ(list.members, originals[1].members);
    EXPECT_STREQ(contact.fields->categories, "Contacts");

    // The copy into the second mailbox reads back the same.
    WriteAll("second@example.com", "pw2", first);
    const std::vector<Snapshot> second = ReadAll("second@example.com", "pw2");
    ASSERT_EQ(second.size(), 2u) << log.text();
    for (const Snapshot &read : second)
        ExpectSameContact(read.fields->contact_kind == 1 ? list : contact, read);
}

} // namespace
#endif
