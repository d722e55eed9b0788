"""Sizes as the publisher prints them: bytes under 1 KB, KB under 1 MB, MB above."""

KB = 1024
MB = 1024 * KB


def size_text(size):
    if size < KB:
        return f"{size} byte" if size == 1 else f"{size} bytes"
    if round(size / KB, 1) < 1024:  # so 1 048 575 bytes read 1.0 MB, not 1024.0 KB
        return f"{size / KB:.1f} KB"
    return f"{size / MB:.1f} MB"
