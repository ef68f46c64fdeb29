#include "SmallFile.h"

#include "core/crypto/Crypto.h"

namespace oz::core::writer {

void prepareSmallFile(const Item &item, const SmallFileContext &c, Scratch &scratch, Folders::Hint &hint,
                      Prepared &result)
{
    unsigned char *input = scratch.atLeast(scratch.input, scratch.inputSize, std::max<std::size_t>(item.size, 1));
    std::size_t got = 0;
    {
        FileReader reader(item, c.folders.of(item, hint));
        std::size_t n = 0;
        do {
            n = reader.read(input + got, std::min<std::size_t>(item.size - got, readSlice));
            got += n;
            c.processed += n;
        } while (n > 0 && got < item.size);
    }
    result.size = got;
    result.crc = static_cast<std::uint32_t>(libdeflate_crc32(0, input, got));
    result.method = method::stored;
    c.processed += got;
    std::shared_ptr<const std::vector<unsigned char>> plain; // the stored bytes before encryption
    if (c.compressor && got > 0) {
        const std::size_t bound = libdeflate_deflate_compress_bound(c.compressor, got);
        unsigned char *deflated = scratch.atLeast(scratch.deflated, scratch.deflatedSize, std::max(bound, got));
        if (auto same = c.duplicates.find(input, got, result.crc, scratch.inflater, deflated)) {
            result.method = same->method;
            plain = std::move(same->data);
        } else {
            const std::size_t n = libdeflate_deflate_compress(c.compressor, input, got, deflated, bound);
            // Data that deflate cannot shrink is kept as it is.
            if (n > 0 && n < got) {
                result.method = method::deflated;
                plain = std::make_shared<const std::vector<unsigned char>>(deflated, deflated + n);
            } else {
                plain = std::make_shared<const std::vector<unsigned char>>(input, input + got);
            }
            c.duplicates.keep(got, result.crc, {result.method, plain});
        }
    } else {
        plain = std::make_shared<const std::vector<unsigned char>>(input, input + got);
    }
    if (c.password.empty()) {
        result.data = std::move(plain);
        return;
    }
    AesEncryptor aes(c.password, c.keyLength);
    std::vector<unsigned char> data;
    data.reserve(aes.header().size() + plain->size() + WinZipCipher::codeSize);
    data = aes.header();
    const std::size_t at = data.size();
    data.insert(data.end(), plain->begin(), plain->end());
    aes.encrypt(data.data() + at, plain->size());
    const auto code = aes.finish();
    data.insert(data.end(), code.begin(), code.end());
    result.data = std::make_shared<const std::vector<unsigned char>>(std::move(data));
}

} // namespace oz::core::writer
