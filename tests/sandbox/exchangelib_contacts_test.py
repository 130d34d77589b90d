#!/usr/bin/python3
"""Contacts and distribution lists of the sandbox through Debian's python3-exchangelib.

Usage: exchangelib_contacts_test.py EWS_SANDBOX_BINARY

Starts a fresh sandbox, creates contacts (every field group, non-ASCII
names, notes, two file attachments) and a distribution list with the
client's default field set, reads them back field by field and stops the
server (exit status 0).  populate() and verify(copied=True) serve a
migration test: fill one mailbox, copy it, check the other.  Field names and groups follow Microsoft's EWS
reference, "Contact" and "DistributionList" (web-service-reference).
"""
import datetime
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from sandbox_client import ADDRESS, connect, running_sandbox  # noqa: E402

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


ATTACHMENTS = {"card.txt": b"first file\n", "photo \u00e9t\u00e9.bin": bytes(range(256)) * 8}
LIST_NAME = "Team \u00c5se"
MINIMAL_NAME = "\u5c71\u7530 \u592a\u90ce"

# What a migration carries of a contact: the names, the three e-mail
# addresses, company, business and home address, the phones, assistant,
# web page, department, job title, manager, the notes and the files.
CARRIED_FIELDS = ("given_name", "middle_name", "surname", "company_name", "department", "job_title",
                  "manager", "assistant_name", "business_homepage")
CARRIED_PHONES = ("AssistantPhone", "BusinessFax", "BusinessPhone", "HomePhone", "MobilePhone",
                  "OtherTelephone")
ALL_FIELDS = CARRIED_FIELDS + ("initials", "nickname", "display_name", "birthday", "generation",
                               "office", "profession", "spouse_name", "children", "categories")


def members(account):
    from exchangelib import Mailbox
    from exchangelib.properties import Member
    return [Member(mailbox=Mailbox(name="Alice Owner", email_address=ADDRESS, mailbox_type="Mailbox")),
            Member(mailbox=Mailbox(name="Ext \u00d8rsted", email_address="orsted@example.dk",
                                   mailbox_type="OneOff")),
            Member(mailbox=Mailbox(name="\u738b\u5c0f\u660e", email_address="wang@example.cn"))]


def populate(account):
    """Creates the full contact (with two files), a minimal one and a list in Contacts."""
    from exchangelib import Contact, DistributionList, FileAttachment
    contact = full_contact(account)
    contact.save()
    for name, content in ATTACHMENTS.items():
        contact.attach(FileAttachment(name=name, content=content))
    Contact(account=account, folder=account.contacts, display_name=MINIMAL_NAME,
            given_name="\u592a\u90ce", surname="\u5c71\u7530").save()
    DistributionList(account=account, folder=account.contacts, display_name=LIST_NAME,
                     members=members(account)).save()


def verify(account, copied=False):
    """Reads the Contacts folder back field by field.  With `copied`, only what a
    migration carries is compared (see CARRIED_FIELDS), the list's members by
    name and address."""
    from exchangelib import Contact, DistributionList
    items = list(account.contacts.all())
    by_name = {(i.surname if isinstance(i, Contact) else i.display_name): i for i in items}
    assert len(items) == 3, [type(i).__name__ for i in items]
    want = full_contact(account)
    stored = account.contacts.get(id=by_name[want.surname].id)
    for field in CARRIED_FIELDS if copied else ALL_FIELDS:
        assert getattr(stored, field) == getattr(want, field), (field, getattr(stored, field))
    assert str(stored.body).replace("\r\n", "\n").strip() == str(want.body), repr(stored.body)
    assert stored.complete_name.last_name == want.surname, stored.complete_name
    assert stored.complete_name.first_name == want.given_name, stored.complete_name
    assert stored.file_as == "M\u00fcller-\u0141\u0105cki, J\u00fcrgen \u00c9mile", stored.file_as
    by_label = lambda entries: {e.label: e for e in entries or []}  # noqa: E731
    assert {k: v.email for k, v in by_label(stored.email_addresses).items()} == \
        {k: v.email for k, v in by_label(want.email_addresses).items()}, stored.email_addresses
    phones = {k: v.phone_number for k, v in by_label(stored.phone_numbers).items()}
    for label, number in ((k, v.phone_number) for k, v in by_label(want.phone_numbers).items()):
        if not copied or label in CARRIED_PHONES:
            assert phones.get(label) == number, (label, phones)
    got_addresses = by_label(stored.physical_addresses)
    for label, address in by_label(want.physical_addresses).items():
        if copied and label == "Other":
            continue
        for part in ("city", "state", "country", "zipcode") + (() if copied else ("street",)):
            assert getattr(got_addresses[label], part) == getattr(address, part), (label, part)
        if address.street:
            assert got_addresses[label].street.split("\n")[0] == address.street.split("\n")[0], label
    assert {a.name: a.content for a in stored.attachments} == ATTACHMENTS, list(stored.attachments)
    assert stored.has_attachments

    minimal = account.contacts.get(id=by_name["\u5c71\u7530"].id)
    assert minimal.file_as == "\u5c71\u7530, \u592a\u90ce", minimal.file_as
    assert not minimal.email_addresses and not minimal.attachments

    dl = account.contacts.get(id=by_name[LIST_NAME].id)
    assert isinstance(dl, DistributionList), type(dl)
    assert dl.display_name == LIST_NAME and dl.file_as == LIST_NAME
    got = [(m.mailbox.name, m.mailbox.email_address) for m in dl.members]
    assert got == [(m.mailbox.name, m.mailbox.email_address) for m in members(account)], got
    if not copied:
        assert [m.mailbox.mailbox_type for m in dl.members] == ["Mailbox", "OneOff", "OneOff"]
        assert MINIMAL_NAME == minimal.subject
    return stored


def check_update(account, stored):
    """An update of one field keeps the others."""
    stored.job_title = "Chief Officer"
    stored.save(update_fields=["job_title"])
    again = account.contacts.get(id=stored.id)
    assert again.job_title == "Chief Officer" and again.manager == "Ada Lovelace"
    assert len(again.attachments) == 2


def main():
    with running_sandbox(sys.argv[1], "exchangelib-contacts-") as sandbox:
        account = connect(sandbox.url)
        populate(account)
        check_update(account, verify(account))
    print("exchangelib contacts: all checks passed")


if __name__ == "__main__":
    main()
