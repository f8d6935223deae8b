#include <gtest/gtest.h>

#include "common/byte_order.h"
#include "results/result_cipher.h"
#include "results/result_file.h"

using namespace qrv;

namespace {
TBytes Hex(const std::string& h) {
    TBytes out;
    for (size_t i = 0; i + 1 < h.size(); i += 2)
        out.push_back(uint8_t(std::stoi(h.substr(i, 2), nullptr, 16)));
    return out;
}
TBytes Unmask(const TBytes& stored) {
    TBytes frame(stored);
    for (auto& c : frame)
        c = uint8_t(~kFieldMask) ^ c;
    return frame;
}
} // namespace

TEST(FieldCipher, Aes256KnownAnswerBothWays) {
    TAesKey key{};
    for (int i = 0; i < 32; ++i)
        key[size_t(i)] = uint8_t(i);
    const TBytes plain = Hex("00112233445566778899aabbccddeeff");
    const TBytes cipher = Hex("8ea2b7ca516745bfeafc49904b496089");
    auto enc = AES_EncryptStream(plain, key);
    ASSERT_TRUE(enc);
    EXPECT_EQ(*enc, cipher);
    auto dec = AES_DecryptStream(cipher, key);
    ASSERT_TRUE(dec);
    EXPECT_EQ(*dec, plain);
    // Blocks are independent (ECB): two equal blocks give two equal cipher blocks.
    TBytes two(plain);
    two.insert(two.end(), plain.begin(), plain.end());
    auto enc2 = AES_EncryptStream(two, key);
    ASSERT_TRUE(enc2);
    EXPECT_EQ(TBytes(enc2->begin() + 16, enc2->end()), cipher);
}

TEST(FieldCipher, StreamFillsTheLastBlockWithZerosAndRejectsPartialBlocks) {
    TAesKey key = Make_KeyBuffer("k");
    EXPECT_EQ(key[0], 'k');
    EXPECT_EQ(key[1], 0);
    EXPECT_TRUE(AES_EncryptStream({}, key)->empty());
    TBytes five = {1, 2, 3, 4, 5};
    auto enc = AES_EncryptStream(five, key);
    ASSERT_TRUE(enc);
    ASSERT_EQ(enc->size(), 16u);
    auto dec = AES_DecryptStream(*enc, key);
    ASSERT_TRUE(dec);
    TBytes expect = five;
    expect.resize(16, 0);
    EXPECT_EQ(*dec, expect);
    EXPECT_FALSE(AES_DecryptStream(TBytes(15, 0), key));
    EXPECT_FALSE(AES_DecryptStream(TBytes(17, 0), key));
    // A key text longer than the buffer is cut after 32 bytes.
    EXPECT_EQ(Make_KeyBuffer(std::string(40, 'x')), Make_KeyBuffer(std::string(32, 'x')));
}

TEST(FieldCipher, FieldKeyIsTheComplementedMaskInFourHexDigits) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%04X", unsigned(kFieldMask ^ 0xFF));
    EXPECT_EQ(Field_KeyText(), buf);
    EXPECT_EQ(Field_KeyText().size(), 4u);
}

TEST(FieldCipher, FrameSizesFollowTheTextLength) {
    EXPECT_TRUE(Encrypt_FieldText("")->empty());
    EXPECT_EQ(Encrypt_FieldText(std::string(1, 'a'))->size(), 24u);
    EXPECT_EQ(Encrypt_FieldText(std::string(16, 'a'))->size(), 24u);
    EXPECT_EQ(Encrypt_FieldText(std::string(17, 'a'))->size(), 40u);
    EXPECT_EQ(Encrypt_FieldText(std::string(32, 'a'))->size(), 40u);
    EXPECT_EQ(Encrypt_FieldText(std::string(240, 'a'))->size(), 248u);
    EXPECT_EQ(Field_StoredSize(17), 40u);
}

TEST(FieldCipher, StoredBytesAreTheMaskedFrameOfLengthAndCipherText) {
    auto stored = Encrypt_FieldText("123");
    ASSERT_TRUE(stored);
    TBytes frame = Unmask(*stored);
    EXPECT_EQ(TBytes(frame.begin(), frame.begin() + 8), TBytes({3, 0, 0, 0, 0, 0, 0, 0}));
    // The cipher part is AES-256-ECB of "123" + 13 zeros under the field key.
    TBytes plain = {'1', '2', '3'};
    auto cipher = AES_EncryptStream(plain, Make_KeyBuffer(Field_KeyText()));
    ASSERT_TRUE(cipher);
    EXPECT_EQ(TBytes(frame.begin() + 8, frame.end()), *cipher);
    // Every stored byte is (NOT c) XOR mask of its frame byte.
    for (size_t i = 0; i < frame.size(); ++i)
        EXPECT_EQ((*stored)[i], uint8_t(uint8_t(~frame[i]) ^ kFieldMask));

    auto back = Decrypt_FieldText(*stored);
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, std::string("123") + std::string(13, '\0'));
    EXPECT_EQ(Trim_Field(*back), "123");
}

TEST(FieldCipher, DecipheringRejectsFramesOfTheWrongLength) {
    EXPECT_EQ(*Decrypt_FieldText({}), "");
    EXPECT_FALSE(Decrypt_FieldText(TBytes(7, 0)));
    EXPECT_FALSE(Decrypt_FieldText(TBytes(8 + 15, 0)));
    EXPECT_FALSE(Decrypt_FieldText(TBytes(8 + 17, 0)));
    // A header alone is a frame of an empty cipher part.
    EXPECT_EQ(*Decrypt_FieldText(TBytes(8, 0)), "");
    auto stored = *Encrypt_FieldText("摄像机 DV-A8 型号");
    EXPECT_EQ(Trim_Field(*Decrypt_FieldText(stored)), "摄像机 DV-A8 型号");
}
