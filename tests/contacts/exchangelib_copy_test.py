#!/usr/bin/python3
"""Contacts and a distribution list copied between two sandbox mailboxes.

Usage: exchangelib_copy_test.py EWS_SANDBOX_BINARY QVMIGRATE_BINARY

Debian's python3-exchangelib creates a contact with every field group the
connector carries, notes and two file attachments, and a list with an
internal and external members, in alice's Contacts; `qvmigrate copy
--folder Contacts` copies them into bob's mailbox; the same client reads
bob's Contacts back and compares field by field (names, e-mail addresses,
business and home addresses, phones, company, department, job title,
manager, assistant, home page, notes, each attachment's name and bytes,
every list member).
"""
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "sandbox"))
sys.path.insert(0, os.path.join(HERE, "..", "support"))
from sandbox_client import ADDRESS, connect, qvmigrate_copy, running_sandbox  # noqa: E402
from exchangelib_contacts_test import full_contact  # noqa: E402

TARGET, TARGET_PASSWORD = "bob@example.com", "bob-pw"
FILES = {"card.txt": b"first file\n", "photo \u00e9t\u00e9.bin": bytes(range(256)) * 8}
MEMBERS = [("Alice Owner", ADDRESS), ("Ext \u00d8rsted", "orsted@example.dk")]
FIELDS = ("given_name", "middle_name", "surname", "company_name", "department", "job_title",
          "manager", "assistant_name", "business_homepage")
PHONES = ("AssistantPhone", "BusinessFax", "BusinessPhone", "BusinessPhone2", "HomePhone",
          "MobilePhone", "OtherTelephone", "Pager")


def create_source(account):
    from exchangelib import DistributionList, FileAttachment, Mailbox
    from exchangelib.properties import Member
    contact = full_contact(account)
    contact.save()
    for name, content in FILES.items():
        contact.attach(FileAttachment(name=name, content=content))
    DistributionList(account=account, folder=account.contacts, display_name="Team \u00c5se",
                     members=[Member(mailbox=Mailbox(name=n, email_address=a))
                              for n, a in MEMBERS]).save()
    return account.contacts.get(id=contact.id)


def by_label(items):
    return {i.label: i for i in items or []}


def compare(source, copied):
    from exchangelib import Contact, DistributionList
    items = list(copied.contacts.all())
    contacts = [i for i in items if isinstance(i, Contact)]
    lists = [i for i in items if isinstance(i, DistributionList)]
    assert len(contacts) == 1 and len(lists) == 1, [type(i).__name__ for i in items]
    got = copied.contacts.get(id=contacts[0].id)
    for field in FIELDS:
        assert getattr(got, field) == getattr(source, field), (field, getattr(got, field))
    assert {k: v.email for k, v in by_label(got.email_addresses).items()} == \
        {k: v.email for k, v in by_label(source.email_addresses).items()}, got.email_addresses
    assert {k: v.phone_number for k, v in by_label(got.phone_numbers).items()} == \
        {k: v.phone_number for k, v in by_label(source.phone_numbers).items() if k in PHONES}
    for label in ("Business", "Home"):
        want, have = by_label(source.physical_addresses)[label], by_label(got.physical_addresses)[label]
        for part in ("street", "city", "state", "country", "zipcode"):
            assert (getattr(have, part) or "") == (getattr(want, part) or ""), (label, part,
                                                                              getattr(have, part))
    assert str(got.body).replace("\r\n", "\n") == str(source.body).replace("\r\n", "\n"), got.body
    assert {a.name: a.content for a in got.attachments} == FILES, [a.name for a in got.attachments]
    dl = copied.contacts.get(id=lists[0].id)
    assert dl.display_name == "Team \u00c5se", dl.display_name
    assert [(m.mailbox.name, m.mailbox.email_address) for m in dl.members] == MEMBERS, dl.members


def main():
    with running_sandbox(sys.argv[1], "contacts-copy-", users=[(TARGET, TARGET_PASSWORD)]) as sandbox:
        source = create_source(connect(sandbox.url, build=(15, 0, 1497, 2)))
        qvmigrate_copy(sys.argv[2], sandbox, "Contacts", TARGET, TARGET_PASSWORD)
        compare(source, connect(sandbox.url, TARGET, TARGET_PASSWORD, build=(15, 0, 1497, 2)))
    print("contacts copy: all checks passed")


if __name__ == "__main__":
    main()
