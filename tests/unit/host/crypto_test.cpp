#include <gtest/gtest.h>

#include "plugin/host/ArcCrypto.h"

namespace {
ArcBucket Hex(const std::string& s) {
    return Arc::hex2bin(s);
}
std::string ToHex(const ArcBucket& b) {
    return Arc::bin2hex(b.getData(), b.getSize());
}
const char* kKek256 = "000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F";
}  // namespace

// RFC 3394 section 4.3 and 4.6: 128- and 256-bit key data under a 256-bit KEK.
TEST(KeyWrap, Rfc3394VectorsWithA256BitKek) {
    ArcAES aes;
    ASSERT_TRUE(aes.setKey(Hex(kKek256)));
    ArcKeyWrap wrap(aes);
    struct Vector {
        const char* plain;
        const char* wrapped;
    } vectors[] = {
        {"00112233445566778899AABBCCDDEEFF", "64e8c3f9ce0f5ba263e9777905818a2a93c8191e7d6e8ae7"},
        {"00112233445566778899AABBCCDDEEFF000102030405060708090A0B0C0D0E0F",
         "28c9f404c4b810f4cbccb35cfb87f8263f5786e2d80ed326cbc7f0e71a99f43bfb988b9b7a02dd21"},
    };
    for (const auto& v : vectors) {
        EXPECT_EQ(ToHex(wrap.wrap(Hex(v.plain))), v.wrapped);
        ArcBucket back = wrap.unWrap(Hex(v.wrapped));
        EXPECT_EQ(ToHex(back), ToHex(Hex(v.plain)));
    }
}

TEST(KeyWrap, RejectsTamperedShortAndMisalignedInput) {
    ArcAES aes;
    ASSERT_TRUE(aes.setKey(Hex(kKek256)));
    ArcKeyWrap wrap(aes);
    ArcBucket good = Hex("64e8c3f9ce0f5ba263e9777905818a2a93c8191e7d6e8ae7");
    std::vector<uint8_t> bytes = good.bytes();
    bytes[10] ^= 1;
    EXPECT_TRUE(wrap.unWrap(ArcBucket(bytes)).empty());                 // integrity check fails
    EXPECT_TRUE(wrap.unWrap(Hex("64e8c3f9ce0f5ba263e97779")).empty());  // 12 bytes
    EXPECT_TRUE(wrap.unWrap(Hex("64e8c3f9ce0f5ba2")).empty());          // one block only
    EXPECT_TRUE(wrap.unWrap(ArcBucket()).empty());
    bytes = good.bytes();
    bytes.push_back(0);
    EXPECT_TRUE(wrap.unWrap(ArcBucket(bytes)).empty());  // not a multiple of 8
}

TEST(Crypto, Sha256AndHex) {
    std::string abc = "abc";
    ArcBucket d = Arc::sha256(abc.data(), abc.size());
    EXPECT_EQ(ToHex(d), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_TRUE(Arc::hex2bin("abc").empty());  // odd length
    EXPECT_TRUE(Arc::hex2bin("zz").empty());   // not hex
    EXPECT_EQ(ToHex(Arc::hex2bin("0aFF")), "0aff");
    ArcAES aes;
    EXPECT_FALSE(aes.setKey(Hex("0011")));
}
