#include "results/result_cipher.h"

#include <cstdio>
#include <memory>

#include <openssl/evp.h>

#include "common/byte_order.h"

namespace qrv {

namespace {

struct TCtxFree {
    void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};

// Runs AES-256-ECB over whole 16-byte blocks with padding disabled.
std::optional<TBytes> Run_Blocks(std::span<const uint8_t> in, const TAesKey& key, bool encrypt) {
    if (in.size() % 16 != 0) return std::nullopt;
    TBytes out(in.size());
    if (in.empty()) return out;
    std::unique_ptr<EVP_CIPHER_CTX, TCtxFree> ctx(EVP_CIPHER_CTX_new());
    if (!ctx) return std::nullopt;
    if (EVP_CipherInit_ex(ctx.get(), EVP_aes_256_ecb(), nullptr, key.data(), nullptr, encrypt ? 1 : 0) != 1)
        return std::nullopt;
    EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
    // EVP takes int lengths: feed at most 1 MiB per call.
    size_t done = 0;
    while (done < in.size()) {
        size_t chunk = std::min<size_t>(in.size() - done, size_t(1) << 20);
        int outLen = 0;
        if (EVP_CipherUpdate(ctx.get(), out.data() + done, &outLen, in.data() + done, int(chunk)) != 1 ||
            size_t(outLen) != chunk)
            return std::nullopt;
        done += chunk;
    }
    int tail = 0;
    uint8_t scratch[32];
    if (EVP_CipherFinal_ex(ctx.get(), scratch, &tail) != 1 || tail != 0) return std::nullopt;
    return out;
}

} // namespace

TAesKey Make_KeyBuffer(std::string_view keyText) {
    TAesKey key{};
    size_t n = std::min(keyText.size(), key.size());
    for (size_t i = 0; i < n; ++i)
        key[i] = uint8_t(keyText[i]);
    return key;
}

std::string Field_KeyText() {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%04X", unsigned(kFieldMask ^ 0xFF));
    return buf;
}

std::optional<TBytes> AES_EncryptStream(std::span<const uint8_t> in, const TAesKey& key) {
    TBytes padded(in.begin(), in.end());
    padded.resize((padded.size() + 15) / 16 * 16, 0);
    return Run_Blocks(padded, key, true);
}

std::optional<TBytes> AES_DecryptStream(std::span<const uint8_t> in, const TAesKey& key) {
    return Run_Blocks(in, key, false);
}

std::optional<TBytes> Encrypt_FieldText(std::string_view text) {
    if (text.empty()) return TBytes{};
    TAesKey key = Make_KeyBuffer(Field_KeyText());
    auto cipher = AES_EncryptStream(
        std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text.data()), text.size()), key);
    if (!cipher) return std::nullopt;
    TBytes frame(kFrameHeader + cipher->size());
    Put_LE64(frame.data(), uint64_t(text.size()));
    std::copy(cipher->begin(), cipher->end(), frame.begin() + kFrameHeader);
    for (auto& c : frame)
        c = uint8_t(~c) ^ kFieldMask;
    return frame;
}

std::optional<std::string> Decrypt_FieldText(std::span<const uint8_t> stored) {
    if (stored.empty()) return std::string{};
    if (stored.size() < kFrameHeader || (stored.size() - kFrameHeader) % 16 != 0) return std::nullopt;
    TBytes cipher(stored.size() - kFrameHeader);
    for (size_t i = 0; i < cipher.size(); ++i)
        cipher[i] = uint8_t(~kFieldMask) ^ stored[kFrameHeader + i];
    // The stored plaintext length is not needed: the caller trims the zero filling.
    auto plain = AES_DecryptStream(cipher, Make_KeyBuffer(Field_KeyText()));
    if (!plain) return std::nullopt;
    return std::string(plain->begin(), plain->end());
}

std::optional<std::string> Decrypt_FieldChecked(std::span<const uint8_t> stored) {
    auto text = Decrypt_FieldText(stored);
    if (!text || stored.empty()) return text;
    uint8_t head[kFrameHeader];
    for (size_t i = 0; i < kFrameHeader; ++i)
        head[i] = uint8_t(~kFieldMask) ^ stored[i];
    const uint64_t n = Get_LE64(head);
    // The frame must be the size its length says, and the zero filling zero.
    if (n == 0 || n > text->size() || Field_StoredSize(size_t(n)) != stored.size()) return std::nullopt;
    for (size_t i = size_t(n); i < text->size(); ++i)
        if ((*text)[i] != '\0') return std::nullopt;
    text->resize(size_t(n));
    return text;
}

} // namespace qrv
