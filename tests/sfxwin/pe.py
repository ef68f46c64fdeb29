"""What the tests of Windows executables read of a PE image as Windows does."""


def pe_checksum(data, at):
    """The header checksum of the image data, the field at offset at taken as 0: what Windows'
    CheckSumMappedFile computes."""
    total = 0
    for i in range(0, len(data), 2):
        if at <= i < at + 4:
            continue
        total += data[i] | (data[i + 1] << 8 if i + 1 < len(data) else 0)
        total = (total & 0xFFFF) + (total >> 16)
    total = (total & 0xFFFF) + (total >> 16)
    return total + len(data)
