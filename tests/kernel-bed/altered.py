# An nbdkit plugin: the bed's stick whose reads come back altered. It serves the image file=PATH as it is, but every
# 512-byte sector that begins with the data check's magic is read back with one byte changed; the filesystem's own
# sectors read true, so the stick mounts and stays sound while the check's compare must fail.
import builtins

API_VERSION = 2
MAGIC = b"KVPORTS1"
path = None


def config(key, value):
    global path
    if key == "file":
        path = value


def open(readonly):
    return builtins.open(path, "rb" if readonly else "r+b")


def get_size(h):
    h.seek(0, 2)
    return h.tell()


def pread(h, buf, offset, flags):
    h.seek(offset)
    data = bytearray(h.read(len(buf)))
    for at in range((-offset) % 512, len(data) - 511, 512):
        if data[at:at + 8] == MAGIC:
            data[at + 100] ^= 0x01
    buf[:] = data


def pwrite(h, buf, offset, flags):
    h.seek(offset)
    h.write(buf)


def flush(h, flags):
    h.flush()


def close(h):
    h.close()
