"""The identity of a PDB: the GUID and age in its information stream (stream 1 of the MSF 7.00
container), which the image's CodeView record must repeat for a debugger to accept the pair."""

import struct
import uuid

from . import fail

MSF_MAGIC = b"Microsoft C/C++ MSF 7.00\r\n\x1aDS\0\0\0"


def read_stream(data, index):
    """The bytes of stream `index` of an MSF 7.00 file."""
    if not data.startswith(MSF_MAGIC):
        fail("not a PDB (no MSF 7.00 header)")
    block_size, _, block_count, directory_bytes, _, map_block = struct.unpack_from(
        "<6I", data, len(MSF_MAGIC))
    if block_size not in (512, 1024, 2048, 4096) or len(data) < block_size * block_count:
        fail("PDB truncated or its block size is wrong")

    def block(n):
        if n >= block_count:
            fail(f"PDB block {n} lies beyond the file")
        return data[n * block_size:(n + 1) * block_size]

    directory_blocks = (directory_bytes + block_size - 1) // block_size
    directory_map = struct.unpack_from(f"<{directory_blocks}I", block(map_block))
    directory = b"".join(block(n) for n in directory_map)[:directory_bytes]
    (stream_count,) = struct.unpack_from("<I", directory, 0)
    if index >= stream_count:
        fail(f"PDB has no stream {index}")
    sizes = struct.unpack_from(f"<{stream_count}I", directory, 4)
    offset = 4 + 4 * stream_count
    for i, size in enumerate(sizes):
        blocks = 0 if size == 0xFFFFFFFF else (size + block_size - 1) // block_size
        if i == index:
            numbers = struct.unpack_from(f"<{blocks}I", directory, offset)
            return b"".join(block(n) for n in numbers)[:size]
        offset += 4 * blocks
    fail(f"PDB has no stream {index}")


def identity(path):
    """(GUID, age) of the PDB at `path`."""
    with open(path, "rb") as f:
        data = f.read()
    info = read_stream(data, 1)
    if len(info) < 28:
        fail("PDB information stream too short")
    _, _, age = struct.unpack_from("<III", info, 0)
    return uuid.UUID(bytes_le=info[12:28]), age
