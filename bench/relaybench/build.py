"""Installs what the chosen workloads need and builds qorvand (Release) and the load generator."""
import os
import shutil
import subprocess

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BUILD = os.path.join(ROOT, "build-bench")
QORVAND = os.path.join(BUILD, "qorvand")
LOADGEN = os.path.join(BUILD, "loadgen")
LOADGEN_SOURCES = [os.path.join(ROOT, "bench", "loadgen", name) for name in ("loadgen.cpp", "sha256.h")]


def program(name):
    """The path of a program, looking in the system folders too (nginx is in /usr/sbin), or None."""
    return shutil.which(name, path=os.environ.get("PATH", "") + ":/usr/sbin:/sbin")


def build(workloads):
    """Installs what is missing (socat, the build tools, the real peers of the chosen workloads) and builds."""
    packages = {"socat": "socat", "cmake": "cmake", "ninja": "ninja-build", "g++": "g++"}
    for workload in workloads:
        packages.update(workload.packages)
    needed = [package for name, package in packages.items() if program(name) is None]
    if needed:
        subprocess.run([os.path.join(ROOT, "scripts", "install-deps")] + needed, check=True)
    if not os.path.exists(os.path.join(BUILD, "build.ninja")):
        subprocess.run(["cmake", "-S", ROOT, "-B", BUILD, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                        "-DQORVAND_TESTS=OFF"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["ninja", "-j1", "-C", BUILD, "qorvand"], check=True, stdout=subprocess.DEVNULL)
    newest_source = max(os.path.getmtime(p) for p in LOADGEN_SOURCES)
    if not os.path.exists(LOADGEN) or os.path.getmtime(LOADGEN) < newest_source:
        subprocess.run(["g++", "-O2", "-std=c++20", "-Wall", "-Wextra", "-pthread", LOADGEN_SOURCES[0], "-o", LOADGEN],
                       check=True)
