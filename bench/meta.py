"""What a run is recorded with (results.json's "meta"): the command as shown, the date,
the machine, Python, the packages' versions and the load average."""
import datetime
import os
import platform


def machine_description():
    model = "unknown processor"
    try:
        with open("/proc/cpuinfo") as handle:
            for line in handle:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    memory = ""
    try:
        with open("/proc/meminfo") as handle:
            kilobytes = int(handle.readline().split()[1])
            memory = f", {kilobytes / 2**20:.0f} GiB memory"
    except (OSError, ValueError, IndexError):
        pass
    return f"{model}, {os.cpu_count() or 0} cores{memory}, {platform.platform()}"


def package_versions():
    """Installed versions; quarn imported from a build directory says which."""
    from importlib import metadata

    versions = {}
    for name in ["quarn", "tinydb", "mongita", "montydb", "polodb-python", "orjson", "matplotlib"]:
        try:
            versions[name] = metadata.version(name)
        except metadata.PackageNotFoundError:
            versions[name] = None
    import sqlite3

    versions["SQLite"] = sqlite3.sqlite_version
    if versions["quarn"] is None:
        try:
            import quarn

            versions["quarn"] = "built, from " + os.path.relpath(os.path.dirname(quarn.__file__))
        except ImportError:
            pass
    return versions


def load_average():
    try:
        return "{:.2f} {:.2f} {:.2f}".format(*os.getloadavg())
    except OSError:
        return "?"


def shown_command(argv, hidden_values):
    """The command as the report shows it: where the report goes and the draft line do not
    change a figure, so they are left out."""
    shown = [argument for argument in argv
             if not argument.startswith("--draft") and not argument.startswith("--out")]
    for value in hidden_values:
        if value and value in shown:
            shown.remove(value)
    return "python3 bench/run.py" + "".join(" " + argument for argument in shown)


def run_meta(command, skipped, draft):
    """The meta of a run about to start; the run adds its end figures as it saves."""
    return {
        "command": command,
        "date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
        "machine": machine_description(),
        "python": f"{platform.python_implementation()} {platform.python_version()}",
        "versions": package_versions(),
        "load_start": load_average(),
        "skipped": skipped,
        "draft": draft,
    }
