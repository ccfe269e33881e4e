"""The SQL store over TLS to MariaDB: a server of the test's own, with a CA and certificates made for it, whose users
may only log in over TLS."""

import asyncio
import os
import shutil
import socket
import subprocess
import tempfile
import time
import uuid

import pytest

from vorel import SQL

pytestmark = pytest.mark.timeout(120)

COULD_NOT_OPEN = "the store could not open its database: "


def run(coroutine, limit=30.0):
    return asyncio.run(asyncio.wait_for(coroutine, limit))


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def openssl(*args, cwd):
    subprocess.run(["openssl", *args], cwd=cwd, check=True, capture_output=True, timeout=60)


def authority(directory, name):
    """A self-signed CA: its key and certificate files."""
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", f"/CN={name}",
            "-keyout", f"{name}.key", "-out", f"{name}.pem", cwd=directory)


def signed(directory, ca, name, extension):
    """A key and a certificate for `name`, signed by the CA `ca`."""
    openssl("req", "-newkey", "rsa:2048", "-nodes", "-subj", f"/CN={name}", "-keyout", f"{name}.key",
            "-out", f"{name}.csr", cwd=directory)
    with open(os.path.join(directory, f"{name}.ext"), "w") as f:
        f.write(extension)
    openssl("x509", "-req", "-in", f"{name}.csr", "-CA", f"{ca}.pem", "-CAkey", f"{ca}.key", "-CAcreateserial",
            "-days", "2", "-extfile", f"{name}.ext", "-out", f"{name}.pem", cwd=directory)


@pytest.fixture(scope="module")
def server():
    """A MariaDB server that speaks TLS, and the URL prefix and files to reach it."""
    if not (shutil.which("mariadbd") and shutil.which("mariadb-install-db") and shutil.which("openssl")):
        pytest.skip("no MariaDB server or openssl here (scripts/databases.sh installs the server)")
    directory = tempfile.mkdtemp(prefix="vorel-tls-")
    process = None
    try:
        os.chmod(directory, 0o755)
        authority(directory, "ca")
        authority(directory, "stranger")
        signed(directory, "ca", "server", "subjectAltName = IP:127.0.0.1\n")
        signed(directory, "ca", "client", "extendedKeyUsage = clientAuth\n")
        data = os.path.join(directory, "data")
        sock = os.path.join(directory, "mariadb.sock")
        subprocess.run(
            ["mariadb-install-db", "--no-defaults", f"--datadir={data}", "--user=root",
             "--auth-root-authentication-method=socket"],
            check=True, capture_output=True, timeout=120,
        )
        port = free_port()
        process = subprocess.Popen(
            ["mariadbd", "--no-defaults", f"--datadir={data}", "--user=root", f"--socket={sock}", f"--port={port}",
             "--bind-address=127.0.0.1", f"--pid-file={directory}/mariadb.pid", f"--log-error={directory}/mariadb.log",
             f"--ssl-ca={directory}/ca.pem", f"--ssl-cert={directory}/server.pem", f"--ssl-key={directory}/server.key"],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
        )
        admin = ["mariadb", "--no-defaults", f"--socket={sock}", "-u", "root"]
        deadline = time.monotonic() + 60
        while subprocess.run([*admin, "-e", "SELECT 1"], capture_output=True).returncode != 0:
            assert process.poll() is None, open(f"{directory}/mariadb.log").read()
            assert time.monotonic() < deadline, "the TLS server did not start"
            time.sleep(0.1)
        subprocess.run(
            [*admin, "-e",
             "CREATE DATABASE vorel;"
             "CREATE USER 'tls'@'127.0.0.1' IDENTIFIED BY 'tls' REQUIRE SSL;"
             "CREATE USER 'x509'@'127.0.0.1' IDENTIFIED BY 'x509' REQUIRE X509;"
             "GRANT ALL ON vorel.* TO 'tls'@'127.0.0.1';"
             "GRANT ALL ON vorel.* TO 'x509'@'127.0.0.1';"],
            check=True, capture_output=True, timeout=60,
        )
        yield {"host": f"127.0.0.1:{port}", "files": directory}
    finally:
        if process is not None:
            process.terminate()
            process.wait(timeout=60)
        shutil.rmtree(directory, ignore_errors=True)


def saved_and_loaded(url):
    actor = f"tls-{uuid.uuid4().hex}"

    async def main():
        async with SQL(url) as store:
            await store.save(actor, "k", bytes(32), b"over TLS")
            return await store.load(actor, "k")

    return run(main())


def refused(url):
    async def main():
        async with SQL(url):
            pass

    with pytest.raises(ConnectionError) as raised:
        run(main())
    text = str(raised.value)
    assert text.startswith(COULD_NOT_OPEN), text
    return text


def test_a_user_that_needs_tls_gets_in_only_with_it(server):
    base = f"mysql://tls:tls@{server['host']}/vorel"
    files = server["files"]
    assert saved_and_loaded(f"{base}?ssl-mode=REQUIRED") == (bytes(32), b"over TLS")
    # The server's certificate is checked against the CA, and its name against the host.
    assert saved_and_loaded(f"{base}?ssl-mode=VERIFY_IDENTITY&ssl-ca={files}/ca.pem") == (bytes(32), b"over TLS")
    # Without TLS the server refuses the user.
    refused(base)
    refused(f"{base}?ssl-mode=DISABLED")


def test_a_server_whose_certificate_another_ca_signed_is_refused(server):
    refused(f"mysql://tls:tls@{server['host']}/vorel?ssl-mode=VERIFY_IDENTITY&ssl-ca={server['files']}/stranger.pem")


def test_a_client_certificate_is_presented(server):
    base = f"mysql://x509:x509@{server['host']}/vorel?ssl-mode=REQUIRED"
    files = server["files"]
    assert saved_and_loaded(f"{base}&ssl-cert={files}/client.pem&ssl-key={files}/client.key") == (
        bytes(32),
        b"over TLS",
    )
    refused(base)


def test_tls_required_of_a_server_without_it_fails_the_open():
    url = os.environ.get("VOREL_TEST_MARIADB")
    if not url:
        pytest.skip("no MariaDB server without TLS (bash scripts/test.sh starts one)")
    # No record may travel in the clear: the connection is refused rather than kept without TLS.
    text = refused(f"{url}?ssl-mode=REQUIRED")
    assert text == COULD_NOT_OPEN + "could not connect to the database: the server did not agree to TLS, which " \
        "ssl-mode REQUIRED asks for", text
    refused(f"{url}?ssl-mode=VERIFY_IDENTITY")
