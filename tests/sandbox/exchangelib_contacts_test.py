#!/usr/bin/python3
"""Contacts and distribution lists of the sandbox through Debian's python3-exchangelib.

Usage: exchangelib_contacts_test.py EWS_SANDBOX_BINARY

Starts a fresh sandbox, creates contacts (every field group, non-ASCII
names, notes, two file attachments) and a distribution list with the
client's default field set, reads them back field by field and stops the
server (exit status 0).  Field names and groups follow Microsoft's EWS
reference, "Contact" and "DistributionList" (web-service-reference).
"""
import datetime
import os
import signal
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from exchangelib_client_test import ADDRESS, connect, start_sandbox  # noqa: E402

BIRTHDAY = datetime.date(1980, 2, 29)


def full_contact(account):
    from exchangelib import Contact
    from exchangelib.indexed_properties import EmailAddress, PhoneNumber, PhysicalAddress
    return Contact(
        account=account, folder=account.contacts,
        given_name="J\u00fcrgen", middle_name="\u00c9mile", surname="M\u00fcller-\u0141\u0105cki",
        initials="J.M.", nickname="J\u00fcrgi", display_name="J\u00fcrgen M\u00fcller-\u0141\u0105cki",
        company_name="\u682a\u5f0f\u4f1a\u793e Example", department="R&D <Labs>",
        job_title="Chief \u201cExplorer\u201d", manager="Ada Lovelace", assistant_name="Grace Hopper",
        business_homepage="https://example.com/~jm", birthday=BIRTHDAY, generation="Jr.",
        office="B-12", profession="Engineer", spouse_name="Kim", children=["Ann", "Ben"],
        email_addresses=[EmailAddress(label="EmailAddress1", email="jm@example.com"),
                         EmailAddress(label="EmailAddress2", email="j.mueller@example.org"),
                         EmailAddress(label="EmailAddress3", email="jm@example.net")],
        phone_numbers=[PhoneNumber(label=label, phone_number="+49 30 %04d" % n) for n, label in enumerate(
            ["AssistantPhone", "BusinessFax", "BusinessPhone", "BusinessPhone2", "HomePhone",
             "MobilePhone", "OtherTelephone", "Pager"])],
        physical_addresses=[
            PhysicalAddress(label="Business", street="Stra\u00dfe 1\nHof 2", city="Berlin",
                            state="BE", country="Deutschland", zipcode="10115"),
            PhysicalAddress(label="Home", street="Rue \u00e9t\u00e9 3", city="Lyon", country="France",
                            zipcode="69001"),
            PhysicalAddress(label="Other", city="Z\u00fcrich")],
        categories=["Kunden", "VIP"], body="Notes with <markup> & \u00fcml\u00e4uts\nsecond line")


def check_contact(account):
    contact = full_contact(account)
    contact.save()
    from exchangelib import FileAttachment
    contact.attach(FileAttachment(name="card.txt", content=b"first file\n"))
    contact.attach(FileAttachment(name="photo \u00e9t\u00e9.bin", content=bytes(range(256)) * 8))
    stored = account.contacts.get(id=contact.id)
    want = full_contact(account)
    for field in ("given_name", "middle_name", "surname", "initials", "nickname", "display_name",
                  "company_name", "department", "job_title", "manager", "assistant_name",
                  "business_homepage", "birthday", "generation", "office", "profession",
                  "spouse_name", "children", "categories"):
        assert getattr(stored, field) == getattr(want, field), (field, getattr(stored, field))
    assert str(stored.body).replace("\r\n", "\n") == str(want.body), repr(stored.body)
    assert stored.complete_name.last_name == want.surname, stored.complete_name
    assert stored.complete_name.first_name == want.given_name, stored.complete_name
    assert stored.file_as == "M\u00fcller-\u0141\u0105cki, J\u00fcrgen \u00c9mile", stored.file_as
    by_label = lambda items: {i.label: i for i in items}  # noqa: E731
    assert {k: v.email for k, v in by_label(stored.email_addresses).items()} == \
        {k: v.email for k, v in by_label(want.email_addresses).items()}, stored.email_addresses
    assert {k: v.phone_number for k, v in by_label(stored.phone_numbers).items()} == \
        {k: v.phone_number for k, v in by_label(want.phone_numbers).items()}, stored.phone_numbers
    got_addresses, want_addresses = by_label(stored.physical_addresses), by_label(want.physical_addresses)
    assert set(got_addresses) == {"Business", "Home", "Other"}, stored.physical_addresses
    for label, address in want_addresses.items():
        for part in ("street", "city", "state", "country", "zipcode"):
            assert getattr(got_addresses[label], part) == getattr(address, part), (label, part)
    files = {a.name: a.content for a in stored.attachments}
    assert files == {"card.txt": b"first file\n", "photo \u00e9t\u00e9.bin": bytes(range(256)) * 8}, list(files)
    assert stored.has_attachments

    # An update of one field keeps the others.
    stored.job_title = "Chief Officer"
    stored.save(update_fields=["job_title"])
    again = account.contacts.get(id=stored.id)
    assert again.job_title == "Chief Officer" and again.manager == "Ada Lovelace"
    return stored


def check_minimal_contact(account):
    """Exchange derives the display name and the filing name when a client gives none."""
    from exchangelib import Contact
    contact = Contact(account=account, folder=account.contacts, display_name="\u5c71\u7530 \u592a\u90ce",
                      given_name="\u592a\u90ce", surname="\u5c71\u7530")
    contact.save()
    stored = account.contacts.get(id=contact.id)
    assert stored.file_as == "\u5c71\u7530, \u592a\u90ce", stored.file_as
    assert stored.subject == "\u5c71\u7530 \u592a\u90ce" and not stored.email_addresses


def check_list(account):
    from exchangelib import DistributionList, Mailbox
    from exchangelib.properties import Member
    members = [Member(mailbox=Mailbox(name="Alice Owner", email_address=ADDRESS, mailbox_type="Mailbox")),
               Member(mailbox=Mailbox(name="Ext \u00d8rsted", email_address="orsted@example.dk",
                                      mailbox_type="OneOff")),
               Member(mailbox=Mailbox(name="\u738b\u5c0f\u660e", email_address="wang@example.cn"))]
    dl = DistributionList(account=account, folder=account.contacts, display_name="Team \u00c5se",
                          members=members)
    dl.save()
    stored = account.contacts.get(id=dl.id)
    assert isinstance(stored, DistributionList), type(stored)
    assert stored.display_name == "Team \u00c5se" and stored.file_as == "Team \u00c5se"
    got = [(m.mailbox.name, m.mailbox.email_address, m.mailbox.mailbox_type) for m in stored.members]
    assert got == [("Alice Owner", ADDRESS, "Mailbox"), ("Ext \u00d8rsted", "orsted@example.dk", "OneOff"),
                   ("\u738b\u5c0f\u660e", "wang@example.cn", "OneOff")], got


def check_listing(account):
    kinds = sorted(type(i).__name__ for i in account.contacts.all())
    assert kinds == ["Contact", "Contact", "DistributionList"], kinds
    account.contacts.refresh()
    assert account.contacts.total_count == 3, account.contacts.total_count


def main():
    binary = sys.argv[1]
    with tempfile.TemporaryDirectory(prefix="exchangelib-contacts-") as data:
        server, url, ca = start_sandbox(binary, data)
        os.environ["REQUESTS_CA_BUNDLE"] = ca
        try:
            account = connect(url, (14, 3, 123, 4))
            check_contact(account)
            check_minimal_contact(account)
            check_list(account)
            check_listing(account)
        except BaseException:
            sys.stderr.write(open(os.path.join(data, "server.log")).read()[-4000:])
            raise
        finally:
            server.send_signal(signal.SIGTERM)
            status = server.wait(timeout=30)
        assert status == 0, "ews-sandbox exited with %d" % status
    print("exchangelib contacts: all checks passed")


if __name__ == "__main__":
    main()
