"""Running the agent as a user would, in a private home: its own settings, logs and single-instance
socket, so that parallel suites never hand links to each other's agents."""

import os
import signal
import subprocess
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_DIR = os.path.normpath(os.path.join(HERE, "..", ".."))


def build_dir():
    return os.environ.get("KELVANO_BUILD_DIR") or os.path.join(SOURCE_DIR, "build")


def agent_binary():
    return os.path.join(build_dir(), "kelvano-assistant")


def private_env(root, extra=None):
    """Environment with HOME and the XDG directories under root (created)."""
    env = dict(os.environ)
    dirs = {
        "HOME": "home",
        "XDG_CONFIG_HOME": "config",
        "XDG_DATA_HOME": "data",
        "XDG_CACHE_HOME": "cache",
        "XDG_RUNTIME_DIR": "run",
    }
    for var, sub in dirs.items():
        path = os.path.join(root, sub)
        os.makedirs(path, mode=0o700, exist_ok=True)
        env[var] = path
    for var in ("XDG_CURRENT_DESKTOP", "DESKTOP_SESSION", "KDE_FULL_SESSION", "GNOME_DESKTOP_SESSION_ID",
                "BROWSER", "KVNO_SESSION_ID", "KVNO_VDI_URL", "KVNO_STUN_URL", "KVNO_DEBUG",
                "KVNO_VIDEO_CODEC", "KVNO_AUDIO_CODEC", "KVNO_TIMEOUT"):
        env.pop(var, None)
    env["QT_QPA_PLATFORM"] = "xcb"
    env.update(extra or {})
    return env


def processes_of(exe):
    """Pids of running processes whose executable is exe."""
    exe = os.path.realpath(exe)
    pids = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            if os.path.realpath(os.readlink("/proc/%s/exe" % entry)) == exe:
                pids.append(int(entry))
        except OSError:
            continue
    return pids


def cmdline(pid):
    try:
        with open("/proc/%d/cmdline" % pid, "rb") as f:
            return [a.decode(errors="replace") for a in f.read().split(b"\0") if a]
    except OSError:
        return []


def stop(pids, timeout=10):
    """SIGTERM, then SIGKILL after timeout; waits until they are gone."""
    for pid in pids:
        try:
            os.kill(pid, signal.SIGTERM)
        except ProcessLookupError:
            pass
    deadline = time.monotonic() + timeout
    alive = list(pids)
    while alive and time.monotonic() < deadline:
        alive = [p for p in alive if os.path.exists("/proc/%d" % p) and not _zombie(p)]
        time.sleep(0.05)
    for pid in alive:
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass


def _zombie(pid):
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0] == "Z"
    except OSError:
        return True


def start_agent(args, env, log_path):
    """Starts the agent with its standard output (every log line) going to log_path."""
    out = open(log_path, "wb")
    try:
        return subprocess.Popen([agent_binary()] + list(args), env=env, stdout=out,
                                stderr=subprocess.STDOUT)
    finally:
        out.close()


def stop_agent(proc, timeout=10):
    if proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
    return proc.returncode
