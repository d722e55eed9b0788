"""Reads resources back out of a built PE file (32- or 64-bit), with the
standard library alone: what Windows itself would find in launcher.exe."""
import struct

RT_VERSION = 16
RT_MANIFEST = 24


def _sections(data):
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        raise ValueError("not a PE file")
    count, optional_size = struct.unpack_from("<H12xH", data, pe + 6)
    optional = pe + 24
    magic = struct.unpack_from("<H", data, optional)[0]
    directories = optional + (96 if magic == 0x10B else 112)
    resource_rva = struct.unpack_from("<I", data, directories + 2 * 8)[0]
    table = optional + optional_size
    sections = [struct.unpack_from("<8xIIII", data, table + 40 * i) for i in range(count)]
    return resource_rva, sections  # (virtual size, rva, raw size, raw offset)


def _file_offset(rva, sections):
    for virtual_size, start, raw_size, raw_offset in sections:
        if start <= rva < start + max(virtual_size, raw_size):
            return raw_offset + rva - start
    raise ValueError(f"rva {rva:#x} is in no section")


def _entries(data, base, directory):
    named, numbered = struct.unpack_from("<12xHH", data, base + directory)
    for i in range(named + numbered):
        name, target = struct.unpack_from("<II", data, base + directory + 16 + 8 * i)
        yield name, target


def resource(path, type_id, resource_id):
    """The bytes of the first language of resource (type_id, resource_id), or None."""
    data = open(path, "rb").read()
    resource_rva, sections = _sections(data)
    base = _file_offset(resource_rva, sections)
    for name, target in _entries(data, base, 0):
        if name != type_id:
            continue
        for inner, inner_target in _entries(data, base, target & 0x7FFFFFFF):
            if inner != resource_id:
                continue
            _, leaf = next(_entries(data, base, inner_target & 0x7FFFFFFF))
            rva, size = struct.unpack_from("<II", data, base + leaf)
            start = _file_offset(rva, sections)
            return data[start:start + size]
    return None
