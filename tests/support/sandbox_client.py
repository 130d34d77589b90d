"""Shared set-up of the tests that drive ews-sandbox with Debian's python3-exchangelib.

A test script puts this folder on sys.path and imports what it needs:

    with running_sandbox(binary, "exchangelib-", users=[(BOB, BOB_PW)]) as sandbox:
        account = connect(sandbox.url)
        ...

The sandbox starts on a free loopback port with a fresh data folder and the
mailbox alice@example.com (plus USERS); the client trusts its CA through
REQUESTS_CA_BUNDLE. When a check fails, the tail of the server log goes to
stderr; in every case the server is stopped and must exit with status 0.
"""
import contextlib
import os
import signal
import subprocess
import sys
import tempfile
from dataclasses import dataclass

ADDRESS, PASSWORD = "alice@example.com", "alice-pw"
# Every client test pins Exchange 2010 SP2, the version the sandbox serves.
EXCHANGE_2010_SP2 = (14, 3, 123, 4)


@dataclass
class Sandbox:
    url: str
    ca: str
    data: str  # the server's data folder; a scratch folder for the test as well

    @property
    def log_path(self):
        return os.path.join(self.data, "server.log")


def add_user(binary, data, address, password):
    subprocess.run([binary, "user", "add", "--data", data, "--mailbox", address,
                    "--password", password], check=True, stdout=subprocess.DEVNULL)


@contextlib.contextmanager
def running_sandbox(binary, prefix, users=()):
    with tempfile.TemporaryDirectory(prefix=prefix) as data:
        for address, password in [(ADDRESS, PASSWORD)] + list(users):
            add_user(binary, data, address, password)
        log_path = os.path.join(data, "server.log")
        with open(log_path, "w") as log:
            server = subprocess.Popen([binary, "serve", "--data", data, "--port", "0"],
                                      stdout=subprocess.PIPE, stderr=log, text=True)
        try:
            line = server.stdout.readline().strip()
            assert line.startswith("listening https://127.0.0.1:"), line
            sandbox = Sandbox(url=line.split(" ")[1], ca=line.split(" ca=")[1], data=data)
            os.environ["REQUESTS_CA_BUNDLE"] = sandbox.ca
            yield sandbox
        except BaseException:
            with open(log_path) as log:
                sys.stderr.write(log.read()[-4000:])
            raise
        finally:
            server.send_signal(signal.SIGTERM)
            status = server.wait(timeout=30)
        assert status == 0, "ews-sandbox exited with %d" % status


def connect(url, address=ADDRESS, password=PASSWORD, build=EXCHANGE_2010_SP2, api_version=None):
    from exchangelib import (BASIC, DELEGATE, Account, Build, Configuration, Credentials,
                             Version)
    version = Version(build=Build(*build), api_version=api_version)
    config = Configuration(service_endpoint=url, credentials=Credentials(address, password),
                           auth_type=BASIC, version=version)
    return Account(address, config=config, autodiscover=False, access_type=DELEGATE)


def qvmigrate_copy(qvmigrate, sandbox, folder, target, target_password, extra_args=()):
    """`qvmigrate copy --folder FOLDER` from alice to TARGET; fails the test unless it exits 0."""
    env = dict(os.environ, FROM_PW=PASSWORD, TO_PW=target_password)
    log = os.path.join(sandbox.data, "qvmigrate.log")
    run = subprocess.run(
        [qvmigrate, "copy", "--from-server", sandbox.url, "--from-user", ADDRESS,
         "--from-password-env", "FROM_PW", "--to-server", sandbox.url, "--to-user", target,
         "--to-password-env", "TO_PW", "--ca-file", sandbox.ca, "--folder", folder,
         "--state", os.path.join(sandbox.data, "state"), "--log", log] + list(extra_args),
        env=env, stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=240)
    if run.returncode != 0:
        tail = open(log).read()[-6000:] if os.path.exists(log) else ""
        raise AssertionError("qvmigrate copy exited with %d\n%s%s%s" % (
            run.returncode, run.stdout, run.stderr, tail))
