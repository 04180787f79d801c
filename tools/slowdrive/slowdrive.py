#!/usr/bin/python3
"""velta-slowdrive: a drive as slow as a UF2 boot loader, for tests on this machine.

    velta-slowdrive FOLDER MOUNTPOINT [--rate BYTES_PER_SECOND] [--leave] [--board-id ID]

Serves FOLDER at MOUNTPOINT (made if missing, and then removed again) as a FUSE
file system, which has its own device like a mounted drive. Writes pass one at
a time at the rate (default 65536) and flushes wait for them, as a device
that takes the data that fast. --leave: once a file is closed that holds a
whole UF2 image (every block 0..numBlocks-1), the drive goes as a boot loader
that restarts: unmounted, its folder removed. --board-id: FOLDER gets the
INFO_UF2.TXT of that boot loader. stdout: READY once mounted, LEFT <name>
when it left. SIGTERM, SIGINT or SIGHUP: unmount, exit 0.

Needs /usr/bin/python3 with Debian's python3-fusepy, and fusermount3 unless root.
"""
import argparse
import errno
import os
import signal
import struct
import sys
import threading
import time

import fusepy


def whole_uf2(path):
    """Every block number of the first block's count, in 512-byte UF2 blocks."""
    seen, count = set(), None
    with open(path, 'rb') as f:
        while len(block := f.read(512)) == 512:
            start0, start1, _, _, _, number, blocks = struct.unpack_from('<7I', block)
            if start0 != 0x0A324655 or start1 != 0x9E5D5157 or struct.unpack_from('<I', block, 508)[0] != 0x0AB16F30:
                return False
            count = blocks if count is None else count
            if blocks == count and number < count:
                seen.add(number)
    return count is not None and len(seen) == count


class SlowDrive(fusepy.Operations):
    def __init__(self, folder, rate, leave):
        self.folder, self.rate, self.leave = folder, rate, leave
        self.mutex = threading.Lock()
        self.busy_until = 0.0  # when the device has taken what it was given
        self.written = set()

    def real(self, path):
        return os.path.join(self.folder, path.lstrip('/'))

    def init(self, path):
        print('READY', flush=True)

    def getattr(self, path, fh=None):
        info = os.lstat(self.real(path))
        return {key: getattr(info, key) for key in ('st_mode', 'st_nlink', 'st_size', 'st_uid', 'st_gid',
                                                    'st_atime', 'st_mtime', 'st_ctime')}

    def readdir(self, path, fh):
        return ['.', '..'] + os.listdir(self.real(path))

    def statfs(self, path):
        info = os.statvfs(self.real(path))
        return {key: getattr(info, key) for key in ('f_bsize', 'f_frsize', 'f_blocks', 'f_bfree', 'f_bavail',
                                                    'f_files', 'f_ffree', 'f_namemax')}

    def open(self, path, flags):
        return os.open(self.real(path), flags)

    def create(self, path, mode, fi=None):
        return os.open(self.real(path), os.O_WRONLY | os.O_CREAT | os.O_TRUNC, mode)

    def read(self, path, size, offset, fh):
        return os.pread(fh, size, offset)

    def write(self, path, data, offset, fh):
        # The device takes one write after the other, each at the rate.
        with self.mutex:
            start = max(time.monotonic(), self.busy_until)
            self.busy_until = start + len(data) / self.rate
            done = self.busy_until
            self.written.add(path)
        time.sleep(max(0.0, done - time.monotonic()))
        return os.pwrite(fh, data, offset)

    def drained(self):
        with self.mutex:
            done = self.busy_until
        time.sleep(max(0.0, done - time.monotonic()))

    def flush(self, path, fh):
        self.drained()

    def fsync(self, path, datasync, fh):
        self.drained()
        os.fsync(fh)

    def release(self, path, fh):
        os.close(fh)
        with self.mutex:
            written = path in self.written
            self.written.discard(path)
        if self.leave and written and whole_uf2(self.real(path)):
            print('LEFT', path.lstrip('/'), flush=True)
            # libfuse's own stop, in the thread that waits for it.
            signal.pthread_kill(threading.main_thread().ident, signal.SIGTERM)

    def truncate(self, path, length, fh=None):
        os.truncate(self.real(path), length)

    def unlink(self, path):
        os.unlink(self.real(path))

    def rename(self, old, new):
        os.rename(self.real(old), self.real(new))

    def mkdir(self, path, mode):
        os.mkdir(self.real(path), mode)

    def rmdir(self, path):
        os.rmdir(self.real(path))

    def utimens(self, path, times=None):
        os.utime(self.real(path), times)

    def chmod(self, path, mode):
        os.chmod(self.real(path), mode)


def main():
    parser = argparse.ArgumentParser(prog='velta-slowdrive', description=__doc__.split('\n')[0])
    parser.add_argument('folder')
    parser.add_argument('mountpoint')
    parser.add_argument('--rate', type=int, default=65536)
    parser.add_argument('--leave', action='store_true')
    parser.add_argument('--board-id')
    args = parser.parse_args()
    if not os.path.isdir(args.folder) or args.rate <= 0:
        parser.error('FOLDER must be a folder and the rate positive')
    if args.board_id:
        model = {'RPI-RP2': 'RP2', 'RP2350': 'RP2350'}.get(args.board_id, args.board_id)
        with open(os.path.join(args.folder, 'INFO_UF2.TXT'), 'w', newline='') as info:
            info.write(f'UF2 Bootloader v3.0\r\nModel: Raspberry Pi {model}\r\nBoard-ID: {args.board_id}\r\n')
    made = not os.path.exists(args.mountpoint)
    if made:
        os.mkdir(args.mountpoint)
    try:
        # Threads, so that looking at the drive never waits behind a write.
        fusepy.FUSE(SlowDrive(os.path.abspath(args.folder), args.rate, args.leave), args.mountpoint,
                    foreground=True, fsname='velta-slowdrive', subtype='velta-slowdrive')
    except RuntimeError as error:
        print(f'velta-slowdrive: cannot mount {args.mountpoint}: {error}', file=sys.stderr)
        return 1
    finally:
        if made:
            os.rmdir(args.mountpoint)
    return 0


if __name__ == '__main__':
    sys.exit(main())
