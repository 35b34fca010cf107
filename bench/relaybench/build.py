"""Installs what the chosen workloads and relays need, builds qorvand (Release) and the load generator, and makes
the certificates of the TLS relays."""
import os
import shutil
import subprocess

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BUILD = os.path.join(ROOT, "build-bench")
QORVAND = os.path.join(BUILD, "qorvand")
LOADGEN = os.path.join(BUILD, "loadgen")
LOADGEN_SOURCES = [os.path.join(ROOT, "bench", "loadgen", name) for name in ("loadgen.cpp", "sha256.h")]
TLS_FOLDER = os.path.join(BUILD, "tls")
SERVER_PEM = os.path.join(TLS_FOLDER, "server.pem")  # the sink's, haproxy's and socat's certificate and key
CA_PEM = os.path.join(TLS_FOLDER, "ca.pem")  # the CA qorvand --tls signs its certificates with
# What every run needs: a program, or a file (a path), and the Debian package it comes with.
BASE_PACKAGES = {"socat": "socat", "cmake": "cmake", "ninja": "ninja-build", "g++": "g++", "openssl": "openssl",
                 "/usr/include/openssl/ssl.h": "libssl-dev"}


def program(name):
    """The path of a program, looking in the system folders too (nginx is in /usr/sbin), or None."""
    return shutil.which(name, path=os.environ.get("PATH", "") + ":/usr/sbin:/sbin")


def missing_packages(needs):
    """The packages of the programs and files in needs ({name or path: package}) that are not there."""
    return sorted({package for name, package in needs.items()
                   if not (os.path.exists(name) if name.startswith("/") else program(name))})


def build(workloads, relays, qorvand):
    """Installs what is missing (socat, the build tools, OpenSSL's headers, the relays and the real peers chosen)
    and builds; qorvand only when the run uses the one built here."""
    needs = dict(BASE_PACKAGES)
    for part in [*workloads, *relays]:
        needs.update(part.packages)
    needed = missing_packages(needs)
    if needed:
        subprocess.run([os.path.join(ROOT, "scripts", "install-deps")] + needed, check=True)
    if qorvand == QORVAND:
        if not os.path.exists(os.path.join(BUILD, "build.ninja")):
            subprocess.run(["cmake", "-S", ROOT, "-B", BUILD, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                            "-DQORVAND_TESTS=OFF"], check=True, stdout=subprocess.DEVNULL)
        subprocess.run(["ninja", "-j1", "-C", BUILD, "qorvand"], check=True, stdout=subprocess.DEVNULL)
    os.makedirs(BUILD, exist_ok=True)
    newest_source = max(os.path.getmtime(p) for p in LOADGEN_SOURCES)
    if not os.path.exists(LOADGEN) or os.path.getmtime(LOADGEN) < newest_source:
        subprocess.run(["g++", "-O2", "-std=c++20", "-Wall", "-Wextra", "-pthread", LOADGEN_SOURCES[0], "-o", LOADGEN,
                        "-lssl", "-lcrypto"], check=True)
    make_certificates()


def make_certificate(path, subject, *extensions):
    """A self-signed ECDSA P-256 certificate and its key in one PEM file that only its owner may read."""
    key, cert = path + ".key", path + ".crt"
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
                    "-keyout", key, "-out", cert, "-days", "3650", "-subj", subject,
                    *(arg for extension in extensions for arg in ("-addext", extension))],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    descriptor = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
    with os.fdopen(descriptor, "w") as out:
        for part in (cert, key):
            with open(part) as text:
                out.write(text.read())
            os.remove(part)


def make_certificates():
    """The server certificate of the TLS peers (the key type of qorvand's own: ECDSA P-256) and a CA for
    qorvand --tls, made once."""
    os.makedirs(TLS_FOLDER, exist_ok=True)
    if not os.path.exists(SERVER_PEM):
        make_certificate(SERVER_PEM, "/CN=localhost", "subjectAltName=DNS:localhost,IP:127.0.0.1",
                         "basicConstraints=critical,CA:FALSE")
    if not os.path.exists(CA_PEM):
        make_certificate(CA_PEM, "/CN=qorvand bench CA", "basicConstraints=critical,CA:TRUE",
                         "keyUsage=critical,keyCertSign,cRLSign")
