"""Wine prefixes for the tools that run Windows programs under Wine.

One place for what every such tool needs: a headless X server, a template prefix in the
Traditional Chinese locale (code page 950) that is made once and copied per run, programs run
with a timeout and their output in files, drive letters (fixed drives, CD-ROM drives backed by
a folder and, for a disc image, by its files and a device to read its label from), registry
values written into a prefix before Wine starts, Windows paths turned into host paths, and
stopping the wineserver. It also says which Windows build a tool plays (choose_build).

    import wineprefix
    display = wineprefix.Display(work)
    wine = wineprefix.Wine(work / "home", display.name)
    template = wine.make_template(work / "template")
    prefix = template.copy(work / "run1")
    prefix.cdrom("d", disc_folder)
    ran = prefix.run([program, argument], work / "program", timeout=300)
    prefix.clean()
    display.close()

Python 3.9 or later; nothing beyond its standard library.
"""

import errno
import os
import shutil
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path

SOURCE = Path(__file__).resolve().parents[2]
# Wine takes its ANSI code page from the locale: zh_TW.UTF-8 gives code page 950.
LOCALE = "zh_TW.UTF-8"
# No menu entries of Wine's own, and no downloads of Mono or Gecko at the prefix's start.
DLL_OVERRIDES = "winemenubuilder.exe=d;mscoree=d;mshtml=d"
SCREEN = "1024x768x24"
# The fonts that render both the Big5 texts and Latin ones (see fontconfig()).
PICTURE_FONTS = ("/usr/share/fonts/truetype/arphic", "/usr/share/fonts/truetype/dejavu")
# Wine's own font for the glyphs of title-bar buttons (Debian package fonts-wine). This Wine
# does not find it where the package puts it, only in the prefix's Fonts folder; without it a
# close button shows the letter "r".
MARLETT = Path("/usr/share/wine/fonts/marlett.ttf")
# A disc folder that never exists: a CD-ROM drive linked to it is empty.
EMPTY_DRIVE = ".no-disc"


class SetupError(Exception):
    """The machine for a run can't be made: a program or package is missing, Wine failed."""


class MountRefused(SetupError):
    """This machine does not let the run mount a file system (no root, or a container that
    forbids mounts): what needs one can't run here."""


# A program that the system can't start for want of resources (no process or memory to be had
# for a moment, on a busy machine) is started again, up to this many tries, the pause between
# them doubling from the first.
START_TRIES = 5
START_PAUSE = 0.2


def start_program(arguments, **options):
    """subprocess.Popen(arguments, **options), tried again while the system lacks the resources
    to start the program (EAGAIN, ENOMEM). A start that fails for good raises OSError naming
    the program and the system's reason."""
    pause = START_PAUSE
    for tries in range(1, START_TRIES + 1):
        try:
            return subprocess.Popen(arguments, **options)
        except OSError as error:
            if error.errno not in (errno.EAGAIN, errno.ENOMEM) or tries == START_TRIES:
                raise OSError(error.errno, "cannot start %s: %s"
                              % (arguments[0], error.strerror)) from error
        time.sleep(pause)
        pause *= 2
    raise AssertionError("not reached")


def run_program(arguments, timeout=None, check=False, capture_output=False, input=None,
                **options):
    """subprocess.run(...) with its start through start_program(): the same result, the same
    TimeoutExpired (the program killed first) and CalledProcessError."""
    if capture_output:
        options["stdout"] = options["stderr"] = subprocess.PIPE
    if input is not None:
        options["stdin"] = subprocess.PIPE
    with start_program(arguments, **options) as process:
        try:
            out, err = process.communicate(input, timeout=timeout)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
            raise
    result = subprocess.CompletedProcess(arguments, process.returncode, out, err)
    if check:
        result.check_returncode()
    return result


def find_program(*candidates):
    """The first candidate that is an executable: a name looked up in PATH, or a path."""
    for candidate in candidates:
        found = shutil.which(candidate) if os.sep not in candidate else candidate
        if found and os.access(found, os.X_OK):
            return found
    return None


# ---- which build to play ----------------------------------------------------------------------


@dataclass
class Build:
    """A Windows build of the sources: its folder, setup.exe and the Wine tools built with it."""

    folder: Path
    arch: str  # "i686" or "x86_64"
    why: str  # one line: which build is played, and why

    @property
    def setup(self):
        return self.folder / "setup.exe"

    @property
    def robot(self):
        return self.folder / "tools" / "wine" / "robot.exe"

    @property
    def recorder(self):
        return self.folder / "tools" / "wine" / "recorder.exe"


def runs_32bit():
    """True when this kernel runs 32-bit x86 programs and 32-bit Wine is installed."""
    probe = SOURCE / "tools" / "runs-32bit"
    if run_program([str(probe)], stdout=subprocess.DEVNULL,
                      stderr=subprocess.DEVNULL).returncode != 0:
        return False, "this kernel runs no 32-bit code"
    if not find_program("/usr/lib/wine/wine"):
        return False, "32-bit Wine is not installed (Debian package wine32:i386)"
    return True, ""


def choose_build(builds=None, check=runs_32bit):
    """The build the Wine tools play: the shipped i686 build where this machine runs 32-bit
    Windows programs, else the x86_64 build of the same sources. builds: the folder holding
    win-i686 and win-x86_64 (default: the source tree's build/)."""
    builds = Path(builds) if builds else SOURCE / "build"
    can, why_not = check()
    if can:
        return Build(builds / "win-i686", "i686",
                     "playing the shipped i686 build (build/win-i686) under 32-bit Wine")
    return Build(builds / "win-x86_64", "x86_64",
                 "playing the x86_64 build (build/win-x86_64), not the shipped i686 one: "
                 + why_not)


def pe_machine(program):
    """The processor a Windows program is built for: "i686", "x86_64", or "unknown"."""
    try:
        with open(program, "rb") as file:
            head = file.read(4096)
        at = int.from_bytes(head[0x3C:0x40], "little")
        if head[:2] != b"MZ" or head[at:at + 4] != b"PE\0\0":
            return "unknown"
        machine = int.from_bytes(head[at + 4:at + 6], "little")
    except OSError:
        return "unknown"
    return {0x14C: "i686", 0x8664: "x86_64"}.get(machine, "unknown")


# ---- the X server ------------------------------------------------------------------------------


class Display:
    """A headless X server (Xvfb) for the Wine programs of a run; it picks a free display."""

    def __init__(self, folder, screen=SCREEN):
        xvfb = find_program("Xvfb")
        if not xvfb:
            raise SetupError("Xvfb is needed (Debian package xvfb)")
        folder = Path(folder)
        folder.mkdir(parents=True, exist_ok=True)
        read_end, write_end = os.pipe()
        self.log = open(folder / "xvfb.log", "wb")
        self.process = start_program(
            [xvfb, "-displayfd", str(write_end), "-screen", "0", screen, "-nolisten", "tcp"],
            pass_fds=(write_end,), stdin=subprocess.DEVNULL, stdout=self.log, stderr=self.log)
        os.close(write_end)
        with os.fdopen(read_end) as numbers:
            number = numbers.readline().strip()
        if not number:
            self.close()
            raise SetupError("Xvfb did not start, see " + str(folder / "xvfb.log"))
        self.name = ":" + number

    def close(self):
        if self.process.poll() is None:
            self.process.terminate()
            self.process.wait()
        self.log.close()

    def __enter__(self):
        return self

    def __exit__(self, *error):
        self.close()


def fontconfig(folder, font_folders=PICTURE_FONTS):
    """Writes a fontconfig file that offers only the fonts in font_folders, for FONTCONFIG_FILE.
    Wine otherwise may pick a code page 950 font without Latin letters for the dialogs."""
    missing = [f for f in font_folders if not Path(f).is_dir()]
    if missing:
        raise SetupError("no fonts in %s (Debian packages fonts-arphic-uming, "
                         "fonts-dejavu-core)" % ", ".join(missing))
    folder = Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    config = folder / "fonts.conf"
    lines = ['<?xml version="1.0"?>', '<!DOCTYPE fontconfig SYSTEM "fonts.dtd">', "<fontconfig>"]
    lines += ["  <dir>%s</dir>" % f for f in font_folders]
    lines += ["  <cachedir>%s</cachedir>" % (folder / "fontconfig-cache"), "</fontconfig>"]
    config.write_text("\n".join(lines) + "\n")
    return config


# ---- Wine --------------------------------------------------------------------------------------


@dataclass
class Ran:
    """How a program run by Wine.run ended."""

    ended: bool  # False: killed at the timeout
    status: int  # the exit status as Wine hands it on (modulo 256), None when killed
    out: Path  # its standard output
    err: Path  # its standard error


class Wine:
    """Runs programs in prefixes, with the environment every run shares: the locale, a
    throwaway HOME (Wine links the prefix's Desktop to it), no debug output, the DLL overrides,
    the X display (None: no display) and, for pictures, a fontconfig file. arch: the kind of
    the prefixes, "win64" (as 64-bit Windows: a 32-bit program runs in WOW64, with the 32-bit
    view of the registry) or "win32" (as 32-bit Windows, 95 to XP: needs 32-bit Wine)."""

    def __init__(self, home, display=None, fonts=None, arch="win64"):
        if arch == "win32":
            self.wine = find_program("/usr/lib/wine/wine")
            if not self.wine:
                raise SetupError("a win32 prefix needs 32-bit Wine (Debian package wine32:i386)")
        elif arch == "win64":
            self.wine = find_program("wine64", "/usr/lib/wine/wine64")
        else:
            raise SetupError("no prefix of kind %r: win32 or win64" % arch)
        self.server = find_program("wineserver", "/usr/lib/wine/wineserver64",
                                   "/usr/lib/wine/wineserver32")
        if not self.wine or not self.server:
            raise SetupError("wine64 and wineserver are needed (Debian package wine64)")
        self.arch = arch
        self.home = Path(home)
        self.home.mkdir(parents=True, exist_ok=True)
        self.display = display
        self.fonts = fonts

    def environment(self, prefix, debug="-all"):
        env = {k: v for k, v in os.environ.items()
               if not k.startswith(("WINE", "LC_")) and k not in ("DISPLAY", "FONTCONFIG_FILE")}
        env.update(WINEPREFIX=str(prefix), WINEARCH=self.arch, WINEDEBUG=debug,
                   WINEDLLOVERRIDES=DLL_OVERRIDES, LC_ALL=LOCALE, LANG=LOCALE,
                   HOME=str(self.home))
        if self.display:
            env["DISPLAY"] = self.display
        if self.fonts:
            env["FONTCONFIG_FILE"] = str(self.fonts)
        return env

    def command(self, arguments, drop_read_override=False, wrapper=()):
        """The command line that runs arguments (a program, Windows or Unix path, and its
        arguments) under Wine. drop_read_override: root runs it without the capabilities that
        let it read and write any file whatever its mode (the wineserver it starts inherits
        that), as a user runs it: a file of mode 000 can't be read, a file without write bits
        (read-only to Windows) can't be opened for writing. wrapper: a command that runs the
        rest (strace, time, ...)."""
        command = list(wrapper) + [self.wine] + [str(a) for a in arguments]
        return self.without_read_override(command) if drop_read_override else command

    @staticmethod
    def without_read_override(command):
        """command run without root's override of file modes (see command())."""
        setpriv = find_program("setpriv")
        if not setpriv:
            raise SetupError("setpriv is needed to run as a user would (util-linux)")
        return [setpriv, "--bounding-set=-dac_override,-dac_read_search", "--"] + command

    def run(self, prefix, arguments, output, timeout, drop_read_override=False, wrapper=(),
            debug="-all"):
        """Runs arguments under Wine in prefix; its output goes to output.out and output.err
        (Wine's services may keep a pipe open long after the program ends, so no pipes). The
        program is killed after timeout seconds."""
        output = Path(output)
        out, err = output.with_suffix(".out"), output.with_suffix(".err")
        with open(out, "wb") as out_file, open(err, "wb") as err_file:
            process = start_program(
                self.command(arguments, drop_read_override, wrapper),
                env=self.environment(prefix, debug), stdin=subprocess.DEVNULL, stdout=out_file,
                stderr=err_file)
            try:
                return Ran(True, process.wait(timeout=timeout), out, err)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
                return Ran(False, None, out, err)

    def server_command(self, prefix, *arguments, timeout=None, drop_read_override=False):
        command = [self.server] + list(arguments)
        if drop_read_override:
            command = self.without_read_override(command)
        run_program(command, env=self.environment(prefix), stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=timeout)

    def start_server(self, prefix, drop_read_override=False):
        """Starts the prefix's wineserver and keeps it running between programs, so that each
        program starts in a fraction of a second (drop_read_override: see command())."""
        self.server_command(prefix, "-p", timeout=60, drop_read_override=drop_read_override)

    def stop(self, prefix, wait_seconds=0):
        """Lets the prefix's programs end for up to wait_seconds, then kills what is left and
        waits until the wineserver has gone."""
        if wait_seconds > 0:
            try:
                self.server_command(prefix, "-w", timeout=wait_seconds)
            except subprocess.TimeoutExpired:
                pass
        self.server_command(prefix, "-k")
        self.server_command(prefix, "-w")

    def make_template(self, folder, timeout=180):
        """Makes a prefix of the Wine's kind in folder (wineboot -i, 10-25 s) set up for headless runs:
        windows unmanaged (with no window manager on the X server, Wine otherwise waits 2 s
        for one each time it hides a window) and no crash dialog (a crash ends the program at
        once with its exception code)."""
        folder = Path(folder)
        ran = self.run(folder, ["wineboot", "-i"], folder.with_name(folder.name + "-wineboot"),
                       timeout)
        if not ran.ended:
            raise SetupError("wineboot hung; see %s" % ran.err)
        self.stop(folder, 30)
        if not (folder / "system.reg").exists():
            raise SetupError("wineboot made no prefix; see %s" % ran.err)
        if MARLETT.is_file():
            fonts = folder / "drive_c" / "windows" / "Fonts"
            fonts.mkdir(parents=True, exist_ok=True)
            shutil.copyfile(MARLETT, fonts / MARLETT.name)
        elif self.fonts:
            raise SetupError("no %s for the pictures' title bars (Debian package fonts-wine)"
                             % MARLETT)
        prefix = Prefix(self, folder)
        prefix.add_values("HKCU", "Software\\Wine\\X11 Driver", {"Managed": "N"})
        prefix.add_values("HKCU", "Software\\Wine\\WineDbg", {"ShowCrashDialog": 0})
        return prefix


# ---- a prefix ----------------------------------------------------------------------------------


REGISTRY_FILES = {"HKLM": "system.reg", "HKCU": "user.reg"}
# The user's shell folders, under both of Explorer's keys: Wine writes the User Shell Folders
# value back into Shell Folders whenever a program asks for the folder, and on a real machine
# both say the same.
EXPLORER = "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\"
SHELL_FOLDER_KEYS = ("Shell Folders", "User Shell Folders")
SHELL_FOLDERS = {"Programs": "C:\\Start Menu\\Programs", "Desktop": "C:\\Desktop"}
# Wine ignores the flags that only place a message box (MB_TOPMOST, MB_SETFOREGROUND): its window
# does not show them. The robot reads them from Wine's relay trace of the installer's MessageBoxA
# calls, which goes to the robot's error output (Prefix.trace_box_calls, robot --box-calls).
BOX_CALLS_DEBUG = "-all,+relay"

# CD-ROM, fixed and removable drives as Wine's drive table names them.
DRIVE_KINDS = {"cdrom": "cdrom", "fixed": "hd", "removable": "floppy"}


class Prefix:
    """A Wine prefix whose wineserver is not running while it is changed. Drives made with
    fixed() or cdrom() are links in dosdevices with their kind in the registry; a fixed drive
    with a free space is a tmpfs of that size (root only); clean() undoes the mounts."""

    def __init__(self, wine, path, program=None):
        self.wine = wine
        self.path = Path(path)
        self.mounts = []
        # The processor of the program the prefix is laid out for (pe_machine): the registry
        # values laid out for it go into the view it sees (add_program_values).
        self.program = program

    @property
    def registry_view(self):
        return registry_view(self.wine.arch, self.program)

    # ---- copies

    def copy(self, destination, c_free=None, program=None):
        """A copy of this prefix at destination (under a second for a fresh one), laid out for
        a program of processor program (pe_machine). With c_free (bytes), its drive_c is a
        tmpfs with exactly that much room left, and the Windows folder a bind mount of a copy
        beside it, so that it takes no room there."""
        destination = Path(destination)
        copy = Prefix(self.wine, destination, program or self.program)
        if c_free is None:
            shutil.copytree(self.path, destination, symlinks=True)
            return copy
        shutil.copytree(self.path, destination, symlinks=True,
                        ignore=lambda folder, names:
                        ["drive_c"] if Path(folder) == self.path else [])
        template_c = self.path / "drive_c"
        drive_c = destination / "drive_c"
        drive_c.mkdir()
        copy.mount_tmpfs(drive_c, c_free + (256 << 20))
        shutil.copytree(template_c, drive_c, symlinks=True, dirs_exist_ok=True,
                        ignore=lambda folder, names:
                        ["windows"] if Path(folder) == template_c else [])
        windows = destination.with_name(destination.name + "-windows")
        shutil.copytree(template_c / "windows", windows, symlinks=True)
        (drive_c / "windows").mkdir()
        copy.mount(["--bind", str(windows), str(drive_c / "windows")], drive_c / "windows")
        usage = os.statvfs(drive_c)
        used = (usage.f_blocks - usage.f_bfree) * usage.f_frsize
        copy.mount(["-o", "remount,size=%d" % (used + c_free), str(drive_c)], None)
        return copy

    # ---- mounts

    def mount(self, arguments, folder):
        result = run_program(["mount"] + arguments, capture_output=True, text=True)
        if result.returncode != 0:
            raise MountRefused("mount refused: " + (result.stderr.strip() or
                                                    "status %d" % result.returncode))
        if folder:
            self.mounts.append(folder)

    def mount_tmpfs(self, folder, size):
        # An empty tmpfs of a size that is a whole number of pages has exactly that much room.
        self.mount(["-t", "tmpfs", "-o", "size=%d,mode=755" % size, "tmpfs", str(folder)],
                   folder)

    def clean(self):
        """Stops the prefix's wineserver and undoes its mounts (newest first)."""
        if self.path.exists():
            self.wine.stop(self.path)
        for folder in reversed(self.mounts):
            unmount(folder)
        self.mounts = []

    # ---- drives

    def trace_box_calls(self):
        """Wine's relay trace, run with BOX_CALLS_DEBUG, takes MessageBoxA and nothing else."""
        self.add_values("HKCU", "Software\\Wine\\Debug", {"RelayInclude": "user32.MessageBoxA"})

    def drive_link(self, letter):
        return self.path / "dosdevices" / (letter.lower() + ":")

    def set_drive(self, letter, kind, folder, device=None):
        """Makes letter a drive of kind ("fixed", "cdrom" or "removable") backed by folder;
        device: the block device Wine reads a CD-ROM's label from, as dosdevices/<letter>::."""
        letter = letter.lower()
        link = self.drive_link(letter)
        device_link = link.with_name(letter + "::")
        for old in (link, device_link):
            if old.is_symlink() or old.exists():
                old.unlink()
        link.symlink_to(folder)
        if device is not None:
            device_link.symlink_to(device)
        self.add_values("HKLM", "Software\\Wine\\Drives", {letter + ":": DRIVE_KINDS[kind]})

    def fixed(self, letter, folder, free=None):
        """A fixed drive backed by folder (made when missing); with free (bytes), folder is a
        tmpfs of that size."""
        folder = Path(folder)
        folder.mkdir(parents=True, exist_ok=True)
        if free is not None:
            self.mount_tmpfs(folder, free)
        self.set_drive(letter, "fixed", folder)

    def cdrom(self, letter, folder=None, device=None):
        """A CD-ROM drive holding the disc in folder; no folder: an empty drive. The label is
        the first line of folder/.windows-label, or, with device (a block device such as
        ImageDisc's), read from the disc's volume descriptor."""
        if folder is None:
            folder = self.path / EMPTY_DRIVE
        self.set_drive(letter, "cdrom", folder, device)

    def removable(self, letter):
        """A floppy or ZIP drive with no disk in it."""
        self.set_drive(letter, "removable", self.path / EMPTY_DRIVE)

    def drive_folder(self, letter):
        return Path(os.path.realpath(self.drive_link(letter)))

    def host_path(self, windows_path):
        """The host path of a Windows path with a drive letter (C:\\x or c:/x). A component names
        the entry that is there in any letter case, as on Windows (a file laid out for a
        scenario then replaces that entry rather than making a second one in other letters);
        the others are kept as written."""
        letter = windows_path[:1].lower()
        if windows_path[1:2] != ":" or not letter.isalpha() or \
                not self.drive_link(letter).exists():
            raise SetupError(windows_path + " is on no drive of the machine")
        path = self.drive_folder(letter)
        for name in relative_path(windows_path[2:]).parts:
            path = path / entry_in_any_case(path, name)
        return path

    def link(self, windows_path, windows_folder):
        """Makes windows_path a directory link to windows_folder (made when missing): a host
        symbolic link, which this Wine shows as a folder that is a reparse point (a directory
        junction) and follows. Its parents are made as needed."""
        target = self.host_path(windows_folder)
        target.mkdir(parents=True, exist_ok=True)
        link = self.host_path(windows_path)
        link.parent.mkdir(parents=True, exist_ok=True)
        link.symlink_to(target, target_is_directory=True)
        return link

    def write_file(self, windows_path, content):
        """Writes content (bytes) to a file at windows_path, its folders made as needed."""
        host = self.host_path(windows_path)
        host.parent.mkdir(parents=True, exist_ok=True)
        host.write_bytes(content)
        return host

    # ---- registry

    def add_values(self, hive, key, values):
        """Adds values to key of hive "HKLM" or "HKCU" (see add_registry_values), as Wine's own
        64-bit programs see it (its drive table, its debug and driver settings)."""
        add_registry_values(self.path / REGISTRY_FILES[hive], key, values)

    def add_program_values(self, hive, key, values):
        """Adds values to key of hive as the program the prefix is laid out for sees it: for a
        32-bit program in a 64-bit prefix, HKLM\\Software\\X is Software\\Wow6432Node\\X."""
        self.add_values(hive, view_key(hive, key, self.registry_view), values)

    def set_shell_folders(self, folders, keys=SHELL_FOLDER_KEYS):
        """Sets the user's shell folders (name: Windows path) under keys of Explorer's, and
        makes each folder that is on a drive; a value that names none (empty, relative) is
        written as it is."""
        for key in keys:
            self.add_values("HKCU", EXPLORER + key, folders)
        for path in folders.values():
            if path[1:3] in (":\\", ":/"):
                self.host_path(path).mkdir(parents=True, exist_ok=True)

    # ---- programs

    def run(self, arguments, output, timeout, **options):
        return self.wine.run(self.path, arguments, output, timeout, **options)

    def start_server(self, drop_read_override=False):
        self.wine.start_server(self.path, drop_read_override)

    def stop(self, wait_seconds=0):
        self.wine.stop(self.path, wait_seconds)


def windows_path(unix_path):
    """The Windows path of a Unix path, through the prefix's drive Z: (the whole file system)."""
    return "Z:" + str(unix_path).replace("/", "\\")


def relative_path(windows_path):
    """A Windows path without its drive as a relative host path ("\\a\\b" -> a/b)."""
    return Path(*[part for part in windows_path.replace("\\", "/").split("/") if part])


def entry_in_any_case(folder, name):
    """The name of the entry of folder that is name in any letter case: name itself when it is
    there, else the first such entry in byte order, else name."""
    if os.path.lexists(os.path.join(folder, name)):
        return name
    try:
        entries = sorted(os.listdir(folder))
    except OSError:
        return name
    return next((entry for entry in entries if entry.upper() == name.upper()), name)


def make_read_only(root):
    """Takes the write bits off every file under root, as a disc's files have none; Wine shows
    such a file as read-only."""
    for folder, _, files in os.walk(root):
        for name in files:
            path = os.path.join(folder, name)
            os.chmod(path, os.stat(path).st_mode & ~0o222)


def unmount(folder):
    """Unmounts folder (a FUSE mount too); lazily when it is busy."""
    for command in (["umount", str(folder)], ["umount", "-l", str(folder)]):
        if run_program(command, stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL).returncode == 0:
            return


def mounts_under(folder, table="/proc/self/mounts"):
    """The mount points at or under folder, deepest first, from the kernel's table of mounts
    (which writes a space in a path as \\040)."""
    folder = os.path.realpath(folder)
    found = []
    try:
        with open(table) as mounts:
            for line in mounts:
                fields = line.split()
                if len(fields) < 2:
                    continue
                point = fields[1].replace("\\040", " ").replace("\\011", "\t") \
                    .replace("\\012", "\n").replace("\\134", "\\")
                if point == folder or point.startswith(folder + os.sep):
                    found.append(point)
    except OSError:
        return []
    return sorted(set(found), key=lambda point: (-point.count(os.sep), point))


def unmount_all_under(folder):
    """Unmounts whatever is still mounted under folder: the last clean-up of a run, for mounts
    whose scenario was cut short."""
    for point in mounts_under(folder):
        unmount(point)


# ---- disc images -------------------------------------------------------------------------------


def can_mount_images():
    """True where ISO images can be mounted with FUSE (/dev/fuse and fuseiso)."""
    return os.path.exists("/dev/fuse") and find_program("fuseiso") is not None


class ImageDisc:
    """An ISO image in a CD-ROM drive: its files in folder, mounted with FUSE (fuseiso) where
    the machine can, else extracted with xorriso (how says which), and a read-only loop device
    of the image, from which Wine reads the label as Windows reads a disc's: from the volume
    descriptor. (Wine reads a label from a device only when it is a block device.) Needs root.
    close() undoes the mount and the loop device."""

    def __init__(self, image, folder, mount=None):
        self.image = Path(image)
        self.folder = Path(folder)
        self.folder.mkdir(parents=True, exist_ok=True)
        self.mounted = False
        self.device = None
        if mount is None:
            mount = can_mount_images()
        try:
            self.how = self._mount() if mount else self._extract()
            self.device = self._loop_device()
        except BaseException:
            self.close()
            raise

    def _mount(self):
        # -n: no list of mounts in ~/.mtab.fuseiso. fuseiso rewrites that list as it unmounts,
        # and with scenarios mounting and unmounting at once the rewrite was seen to spin,
        # growing the list to gigabytes while every other fuseiso waited for its lock.
        result = run_program(["fuseiso", "-n", str(self.image), str(self.folder)],
                                capture_output=True, text=True)
        if result.returncode != 0:
            raise SetupError("fuseiso can't mount %s: %s" % (self.image, result.stderr.strip()))
        self.mounted = True
        return "fuseiso"

    def _extract(self):
        if not find_program("xorriso"):
            raise SetupError("xorriso is needed to extract a disc image (Debian package "
                             "xorriso)")
        result = run_program(["xorriso", "-no_rc", "-osirrox", "on", "-indev",
                                 str(self.image), "-extract", "/", str(self.folder)],
                                capture_output=True, text=True)
        if result.returncode != 0:
            raise SetupError("xorriso can't extract %s: %s" % (self.image,
                                                               result.stderr.strip()))
        # A disc's files are read-only, as a mounted image's are.
        make_read_only(self.folder)
        return "xorriso"

    def _loop_device(self):
        losetup = find_program("losetup", "/usr/sbin/losetup", "/sbin/losetup")
        if not losetup:
            raise SetupError("losetup is needed for a disc image's label (util-linux)")
        result = run_program([losetup, "--find", "--show", "--read-only", str(self.image)],
                                capture_output=True, text=True)
        if result.returncode != 0:
            raise SetupError("no loop device for %s (root and /dev/loop-control are needed): %s"
                             % (self.image, result.stderr.strip()))
        return result.stdout.strip()

    def close(self):
        if self.device:
            losetup = find_program("losetup", "/usr/sbin/losetup", "/sbin/losetup")
            run_program([losetup, "--detach", self.device], stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
            self.device = None
        if self.mounted:
            unmount(self.folder)
            self.mounted = False


# ---- registry files ----------------------------------------------------------------------------


def registry_view(prefix_arch, program):
    """The registry view of a program of processor program ("i686", "x86_64") in a prefix of
    kind prefix_arch: "wow64" for a 32-bit program in a 64-bit prefix, whose HKLM\\Software is
    the key Software\\Wow6432Node (as on 64-bit Windows: `reg ... /reg:32`), else "native"."""
    return "wow64" if prefix_arch == "win64" and program == "i686" else "native"


def view_key(hive, key, view):
    """The key of the prefix's registry file that holds key of hive as a program of view sees
    it. WOW64 redirects HKLM\\Software and everything under it (the few keys that 64-bit
    Windows shares between the views are not used here); HKCU's keys are shared."""
    if view == "wow64" and hive.upper() == "HKLM":
        head, separator, rest = key.partition("\\")
        if head.lower() == "software" and not rest.lower().startswith("wow6432node"):
            return "Software\\Wow6432Node" + separator + rest
    return key


def registry_string(text):
    """A string as Wine's registry files write it: backslashes and quotes escaped, characters
    outside ASCII as \\xNNNN (UTF-16 units)."""
    data = text.encode("utf-16-le")
    out = []
    for unit in (int.from_bytes(data[i:i + 2], "little") for i in range(0, len(data), 2)):
        if unit == ord("\\"):
            out.append("\\\\")
        elif unit == ord('"'):
            out.append('\\"')
        elif 0x20 <= unit < 0x7F:
            out.append(chr(unit))
        else:
            out.append("\\x%04x" % unit)
    return "".join(out)


def add_registry_values(registry_file, key, values):
    """Adds values (strings, or numbers as DWORDs) to a key of a registry file of a prefix whose
    wineserver is not running. Wine reads a key that appears twice as one, the later values
    winning."""
    lines = ["", "[%s] %d" % (registry_string(key), int(time.time()))]
    for name, value in values.items():
        if isinstance(value, int):
            lines.append('"%s"=dword:%08x' % (registry_string(name), value))
        else:
            lines.append('"%s"="%s"' % (registry_string(name), registry_string(value)))
    with open(registry_file, "a", encoding="ascii") as out:
        out.write("\n".join(lines) + "\n")


def remove_registry_key(registry_file, key):
    """Removes the values of key (its sections; not its subkeys) from a registry file of a
    prefix whose wineserver is not running. True when it was there. Wine compares key names
    without regard to case."""
    header = ("[%s]" % registry_string(key)).lower()
    kept, skipping, removed = [], False, False
    with open(registry_file, encoding="ascii") as source:
        for line in source:
            if line.startswith("["):
                name = line.rstrip("\n").lower()
                skipping = name == header or name.startswith(header + " ")
                removed |= skipping
            if not skipping:
                kept.append(line)
    with open(registry_file, "w", encoding="ascii") as out:
        out.writelines(kept)
    return removed


def make_key_unopenable(registry_file, key):
    """Makes key of a registry file (of a prefix whose wineserver is not running) a symbolic
    link to itself: every opening fails, and so does every creation of it. A key that is only
    missing does not stay so: Wine's own programs write Shell Folders values as the session
    starts."""
    relative_to = ";; All keys relative to "
    root = None
    with open(registry_file, encoding="ascii") as source:
        for line in source:
            if line.startswith(relative_to):
                root = line[len(relative_to):].strip().replace("\\\\", "\\")
                break
    if root is None:
        raise SetupError("%s does not say what its keys are relative to" % registry_file)
    remove_registry_key(registry_file, key)
    target = "\\" + root + "\\" + key
    link = ",".join("%02x" % byte for byte in target.encode("utf-16-le"))
    with open(registry_file, "a", encoding="ascii") as out:
        out.write("\n[%s] %d\n#link\n\"SymbolicLinkValue\"=hex(6):%s\n"
                  % (registry_string(key), int(time.time()), link))


# ---- a run's folder ----------------------------------------------------------------------------


def work_folder(prefix):
    """A fresh folder for a run's prefixes and logs."""
    return Path(tempfile.mkdtemp(prefix=prefix))


def what_is_played(build):
    """The lines that say what the Wine tools play on this machine: which build, in which kinds
    of prefix, with which view of the registry."""
    lines = ["Wine: " + build.why]
    if build.arch == "i686":
        lines.append("Wine: prefixes: win64 (the i686 setup.exe in WOW64, its HKLM\\Software "
                     "the 32-bit view, Software\\Wow6432Node) and win32 (the registry and "
                     "killed-install scenarios again, as Windows 95 to XP run them)")
    else:
        lines.append("Wine: prefixes: win64 only (the x86_64 setup.exe, its registry in the "
                     "64-bit view); the shipped i686 build was not played, in no prefix")
    return lines


def main(arguments):
    """wineprefix.py which-build [BUILDS]: prints the folder of the Windows build the Wine tools
    play, then the line that says which and why.
    wineprefix.py played [BUILDS]: the lines that say what the Wine tools play here."""
    if len(arguments) in (1, 2) and arguments[0] in ("which-build", "played"):
        build = choose_build(arguments[1] if len(arguments) == 2 else None)
        if arguments[0] == "played":
            print("\n".join(what_is_played(build)))
            return 0
        print(build.folder)
        print(build.why)
        return 0
    print("usage: wineprefix.py which-build|played [BUILDS]", file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
