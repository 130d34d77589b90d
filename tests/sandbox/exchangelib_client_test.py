#!/usr/bin/python3
"""The sandbox seen through an independent EWS client (Debian's python3-exchangelib).

Usage: exchangelib_client_test.py EWS_SANDBOX_BINARY

Starts a fresh sandbox on a free loopback port, works on one mailbox with
Basic credentials the way a real client does (folder tree, paging, MIME,
CreateItem, attachments, moves), and stops the server (exit status 0).
"""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from sandbox_client import connect, running_sandbox  # noqa: E402


def check_folder_tree(account):
    from exchangelib.folders import Messages
    projects = Messages(parent=account.inbox, name="Projects")
    projects.save()
    Messages(parent=projects, name="2026").save()
    paths = {f.absolute for f in account.msg_folder_root.walk()}
    for name in ("Inbox", "Inbox/Projects", "Inbox/Projects/2026", "Sent Items", "Deleted Items"):
        assert account.msg_folder_root.absolute + "/" + name in paths, (name, sorted(paths))
    account.inbox.refresh()
    assert account.inbox.child_folder_count == 1, account.inbox.child_folder_count
    return projects


def check_paging(account, folder, log_path):
    from exchangelib import Message
    for n in range(23):
        Message(account=account, folder=folder, subject="page %02d" % n, body="n").save()
    query = folder.all().order_by("subject")
    query.page_size = 5
    find_items = open(log_path).read().count("FindItem 200")
    subjects = [m.subject for m in query.only("subject")]
    assert subjects == ["page %02d" % n for n in range(23)], subjects
    assert open(log_path).read().count("FindItem 200") - find_items == 5, "not 5 pages"
    folder.refresh()
    assert folder.total_count == 23, folder.total_count
    assert [m.subject for m in folder.all().order_by("-subject")[3:6]] == [
        "page 19", "page 18", "page 17"]


def check_mime(account):
    from exchangelib import Message
    mime = (b"From: Bob <bob@example.com>\r\nTo: alice@example.com\r\n"
            b"Subject: =?UTF-8?B?UsOpdW5pb24=?=\r\nMessage-ID: <mime-1@example.com>\r\n"
            b"Date: Mon, 02 Mar 2026 10:00:00 +0000\r\nMIME-Version: 1.0\r\n"
            b"Content-Type: text/plain; charset=utf-8\r\n\r\nhello\r\n")
    Message(account=account, folder=account.inbox, mime_content=mime).save()
    stored = account.inbox.get(message_id="<mime-1@example.com>")
    assert stored.subject == "R\u00e9union", stored.subject
    assert stored.sender.email_address == "bob@example.com", stored.sender
    assert b"Message-ID: <mime-1@example.com>" in stored.mime_content


def check_create_and_attach(account):
    from exchangelib import FileAttachment, HTMLBody, Mailbox, Message
    message = Message(account=account, folder=account.drafts, subject="with files",
                      body=HTMLBody("<p>see attached</p>"), is_read_receipt_requested=True,
                      to_recipients=[Mailbox(email_address="carol@example.com")],
                      categories=["Blue"], importance="High")
    message.attach(FileAttachment(name="notes.txt", content=b"first file\n"))
    message.save()
    message.attach(FileAttachment(name="r\u00e9sum\u00e9.bin", content=bytes(range(256)) * 40))
    stored = account.drafts.get(id=message.id)
    assert stored.subject == "with files" and stored.importance == "High"
    assert stored.is_read_receipt_requested and not stored.is_delivery_receipt_requested
    assert stored.to_recipients[0].email_address == "carol@example.com"
    assert stored.categories == ["Blue"] and stored.conversation_id is not None
    names = {a.name: a.content for a in stored.attachments}
    assert names == {"notes.txt": b"first file\n",
                     "r\u00e9sum\u00e9.bin": bytes(range(256)) * 40}, list(names)
    return stored


def check_moves(account, message, folder):
    """Ids change when an item changes folder; the old id then names nothing."""
    from exchangelib.errors import ErrorItemNotFound

    def gone(item_id):
        # exchangelib hands back a per-item error as the result.
        try:
            return isinstance(account.inbox.get(id=item_id), ErrorItemNotFound)
        except ErrorItemNotFound:
            return True

    drafted_id = message.id
    message.move(folder)
    moved_id = message.id
    assert moved_id != drafted_id, (moved_id, drafted_id)
    assert gone(drafted_id)
    copy_id, _ = message.copy(account.inbox)
    message.move_to_trash()
    assert gone(moved_id)
    assert account.trash.get(subject="with files").id not in (moved_id, copy_id)
    assert account.inbox.get(id=copy_id).subject == "with files"
    folder.delete()
    assert [f.name for f in account.inbox.children] == [], "Projects was not deleted"


def check_version_negotiation(url, log_path):
    """A version the server does not serve gets ErrorInvalidServerVersion, and the
    client steps down until it reaches one the server serves."""
    # Another spelling of the endpoint (IIS paths ignore case), so that the
    # client does not reuse the connection that already knows the version.
    account = connect(url.replace("/EWS/Exchange.asmx", "/ews/exchange.asmx"),
                      build=(15, 20, 7452, 28), api_version="V2018_01_08")
    assert "Inbox" in [f.name for f in account.msg_folder_root.children]
    assert account.version.api_version == "Exchange2010_SP2", account.version.api_version
    log = open(log_path).read()
    assert " 500 " in log, log[-2000:]


def main():
    with running_sandbox(sys.argv[1], "exchangelib-") as sandbox:
        account = connect(sandbox.url)
        projects = check_folder_tree(account)
        check_paging(account, projects, sandbox.log_path)
        check_mime(account)
        message = check_create_and_attach(account)
        check_moves(account, message, projects)
        check_version_negotiation(sandbox.url, sandbox.log_path)
    print("exchangelib client: all checks passed")


if __name__ == "__main__":
    main()
