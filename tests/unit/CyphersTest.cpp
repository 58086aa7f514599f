#include "MyLib/Cyphers.h"
#include "MyLib/CRC32.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <vector>

namespace {

// The test S-box of GOST R 34.11-94 (RFC 5831, also RFC 4357 "TestParamSet"), row i = S-box i.
const uint8_t kTestSBox[8][16] = {{4, 10, 9, 2, 13, 8, 0, 14, 6, 11, 1, 12, 7, 15, 5, 3},
                                  {14, 11, 4, 12, 6, 13, 15, 10, 2, 3, 8, 1, 0, 7, 5, 9},
                                  {5, 8, 1, 13, 10, 3, 4, 2, 14, 15, 12, 7, 6, 0, 9, 11},
                                  {7, 13, 10, 1, 0, 8, 9, 15, 14, 4, 6, 12, 11, 2, 5, 3},
                                  {6, 12, 7, 1, 5, 15, 13, 8, 4, 10, 9, 14, 0, 3, 11, 2},
                                  {4, 11, 10, 0, 7, 2, 1, 13, 3, 6, 8, 5, 9, 12, 15, 14},
                                  {13, 11, 4, 1, 3, 15, 5, 9, 0, 10, 14, 7, 6, 8, 2, 12},
                                  {1, 15, 13, 0, 5, 7, 10, 4, 9, 2, 3, 14, 6, 11, 8, 12}};

TGOSTTable PackTable(const uint8_t ASBox[8][16]) {
    TGOSTTable t{};
    for (int i = 0; i < 8; ++i)
        for (int j = 0; j < 8; ++j)
            t[i][j] = uint8_t(ASBox[i][2 * j] | (ASBox[i][2 * j + 1] << 4));
    return t;
}

// A 256-bit key written as a number, most significant word first: K7 ... K0.
TGOSTKey KeyFromWords(std::array<uint32_t, 8> AHighFirst) {
    TGOSTKey k;
    for (int i = 0; i < 8; ++i)
        k[i] = AHighFirst[7 - i];
    return k;
}

TGOSTCrypt TestCipher() {
    TGOSTCrypt c;
    c.SetTable(PackTable(kTestSBox));
    c.K = KeyFromWords(
        {0x733D2C20, 0x65686573, 0x74746769, 0x79676120, 0x626E7373, 0x20657369, 0x326C6568, 0x33206D54});
    return c;
}

std::vector<uint8_t> Pattern(std::size_t ASize) {
    std::vector<uint8_t> v(ASize);
    for (std::size_t i = 0; i < ASize; ++i)
        v[i] = uint8_t(i * 37 + 11);
    return v;
}

} // namespace

// RFC 5831, section 7.3.1: the first compression step hashes with H = 0, so each s_i is the
// basic encryption cycle of the all-zero block under the key K_i (64-bit values high word first).
TEST(GOSTCrypt, BasicCycleMatchesPublishedVectors) {
    struct Vector {
        std::array<uint32_t, 8> key;
        uint32_t high, low;
    };
    const Vector vectors[] = {
        {{0x733D2C20, 0x65686573, 0x74746769, 0x79676120, 0x626E7373, 0x20657369, 0x326C6568, 0x33206D54},
         0x42ABBCCE,
         0x32BC0B1B},
        {{0x110C733D, 0x0D166568, 0x130E7474, 0x06417967, 0x1D00626E, 0x161A2065, 0x090D326C, 0x4D393320},
         0x5203EBC8,
         0x5D9BCFFD},
        {{0x80B111F3, 0x730DF216, 0x850013F1, 0xC7E1F941, 0x620C1DFF, 0x3ABAE91A, 0x3FA109F2, 0xF513B239},
         0x8D345899,
         0x00FF0E28},
        {{0xA0E2804E, 0xFF1B73F2, 0xECE27A00, 0xE7B8C7E1, 0xEE1D620C, 0xAC0CC5BA, 0xA804C05E, 0xA18B0AEC},
         0xE7860419,
         0x0D2A562D},
    };
    TGOSTCrypt c;
    c.SetTable(PackTable(kTestSBox));
    for (const auto& v : vectors) {
        c.K = KeyFromWords(v.key);
        TGOSTDataBlock out = c.EncryptBlock({0, 0});
        EXPECT_EQ(v.low, out.N1) << std::hex << v.high;
        EXPECT_EQ(v.high, out.N2) << std::hex << v.high;
        EXPECT_EQ((TGOSTDataBlock{0, 0}), c.DecryptBlock(out));
    }
}

TEST(GOSTCrypt, ZeroKeyAndTableOnlyExchangesHalves) {
    TGOSTCrypt c;
    // With every S-box entry 0 each round just swaps; 32 swaps and the final exchange leave one swap.
    EXPECT_EQ((TGOSTDataBlock{0x89ABCDEF, 0x01234567}), c.EncryptBlock({0x01234567, 0x89ABCDEF}));
    for (TGOSTDataBlock x : {TGOSTDataBlock{0, 0}, TGOSTDataBlock{1, 2}, TGOSTDataBlock{0xFFFFFFFF, 7}})
        EXPECT_EQ(x, c.DecryptBlock(c.EncryptBlock(x)));
    EXPECT_EQ((TGOSTDataBlock{5, 6}), c.MacBlock({5, 6})); // 16 swaps, no exchange
}

TEST(GOSTCrypt, SetTableExpandsNibbles) {
    TGOSTCrypt c;
    TGOSTTable t = PackTable(kTestSBox);
    c.SetTable(t);
    EXPECT_EQ(t, c.H);
    for (int i = 0; i < 8; ++i)
        for (int j = 0; j < 16; ++j)
            EXPECT_EQ(kTestSBox[i][j], c.H1[i][j]);
}

TEST(GOSTCrypt, ChainingRoundTripsInPlaceAndFollowsItsDefinition) {
    TGOSTCrypt c = TestCipher();
    c.SY = {0x11223344, 0x55667788};
    const TGOSTDataBlock sy = c.SY;
    std::vector<uint8_t> plain = Pattern(57088), buf = plain;
    c.Encrypt(buf.data(), buf.data(), uint32_t(buf.size()));
    EXPECT_NE(plain, buf);
    EXPECT_EQ(sy, c.SY);
    // First block: E(P) xor E(S); second block chains on the first ciphertext block.
    TGOSTDataBlock p0, p1, y0, y1;
    std::memcpy(&p0, plain.data(), 8);
    std::memcpy(&p1, plain.data() + 8, 8);
    std::memcpy(&y0, buf.data(), 8);
    std::memcpy(&y1, buf.data() + 8, 8);
    TGOSTDataBlock e = c.EncryptBlock(p0), g = c.EncryptBlock(sy);
    EXPECT_EQ((TGOSTDataBlock{e.N1 ^ g.N1, e.N2 ^ g.N2}), y0);
    e = c.EncryptBlock(p1), g = c.EncryptBlock(y0);
    EXPECT_EQ((TGOSTDataBlock{e.N1 ^ g.N1, e.N2 ^ g.N2}), y1);
    c.Decrypt(buf.data(), buf.data(), uint32_t(buf.size()));
    EXPECT_EQ(plain, buf);
}

TEST(GOSTCrypt, SyncArgumentContinuesOneStream) {
    TGOSTCrypt c = TestCipher();
    c.SY = {1, 2};
    std::vector<uint8_t> plain = Pattern(16), whole(16), parts(16);
    TGOSTDataBlock sync{0xDEADBEEF, 0x12345678};
    const TGOSTDataBlock start = sync;
    c.Encrypt(plain.data(), whole.data(), 16, &sync);
    TGOSTDataBlock last;
    std::memcpy(&last, whole.data() + 8, 8);
    EXPECT_EQ(last, sync); // the final chaining value is the last ciphertext block
    TGOSTDataBlock stepped = start;
    c.Encrypt(plain.data(), parts.data(), 8, &stepped);
    c.Encrypt(plain.data() + 8, parts.data() + 8, 8, &stepped);
    EXPECT_EQ(whole, parts);
    EXPECT_EQ(sync, stepped);
    EXPECT_EQ((TGOSTDataBlock{1, 2}), c.SY);
    // Decryption in two steps with a Sync variable as well.
    std::vector<uint8_t> back(16);
    TGOSTDataBlock dsync = start;
    c.Decrypt(whole.data(), back.data(), 8, &dsync);
    c.Decrypt(whole.data() + 8, back.data() + 8, 8, &dsync);
    EXPECT_EQ(plain, back);
    EXPECT_EQ(sync, dsync);
    // Without Sync the object's own block is the start.
    c.SY = start;
    std::vector<uint8_t> viaSY(16);
    c.Encrypt(plain.data(), viaSY.data(), 16);
    EXPECT_EQ(whole, viaSY);
}

TEST(GOSTCrypt, ShortLastBlockIsPaddedAndWrittenShort) {
    TGOSTCrypt c = TestCipher();
    std::vector<uint8_t> plain = Pattern(13), padded = plain;
    padded.resize(16, 0xFF);
    std::vector<uint8_t> out(20, 0xA5), full(16);
    TGOSTDataBlock s1{3, 4}, s2{3, 4};
    c.Encrypt(plain.data(), out.data(), 13, &s1);
    c.Encrypt(padded.data(), full.data(), 16, &s2);
    EXPECT_TRUE(std::equal(full.begin(), full.begin() + 13, out.begin()));
    EXPECT_EQ(std::vector<uint8_t>(7, 0xA5), std::vector<uint8_t>(out.begin() + 13, out.end()));
    EXPECT_EQ(s2, s1); // chaining value is the full padded block
    // Zero bytes: nothing written, Sync unchanged.
    TGOSTDataBlock s3{9, 9};
    c.Encrypt(plain.data(), out.data(), 0, &s3);
    EXPECT_EQ((TGOSTDataBlock{9, 9}), s3);
}

TEST(GOSTCrypt, ImitoEdgeCases) {
    TGOSTCrypt c = TestCipher();
    std::vector<uint8_t> data = Pattern(21);
    TGOSTDataBlock start{0xCAFEBABE, 0x0BADF00D}, out;
    c.Imito(data.data(), 0, start, out);
    EXPECT_EQ(start, out);
    c.Imito(data.data(), 0, out);
    EXPECT_EQ((TGOSTDataBlock{}), out);
    // One block from zero is the 16-round cycle of the block itself.
    TGOSTDataBlock x;
    std::memcpy(&x, data.data(), 8);
    c.Imito(data.data(), 8, out);
    EXPECT_EQ(c.MacBlock(x), out);
    // A short tail counts as padded with 0xFF; a changed byte changes the code.
    std::vector<uint8_t> padded = data;
    padded.resize(24, 0xFF);
    TGOSTDataBlock shortCode, paddedCode;
    c.Imito(data.data(), 21, shortCode);
    c.Imito(padded.data(), 24, paddedCode);
    EXPECT_EQ(paddedCode, shortCode);
    data[20] ^= 1;
    c.Imito(data.data(), 21, out);
    EXPECT_NE(shortCode, out);
    // Continuing from a starting value equals one pass over the concatenation.
    TGOSTDataBlock first, second, whole;
    c.Imito(padded.data(), 8, first);
    c.Imito(padded.data() + 8, 16, first, second);
    c.Imito(padded.data(), 24, whole);
    EXPECT_EQ(whole, second);
}

TEST(GOSTCrypt, SeededGeneratorsAreReproducibleAndWellFormed) {
    TSeededRandom r1(42), r2(42);
    TGOSTCrypt a(&r1), b(&r2);
    a.GenerateAll();
    b.GenerateKey();
    b.GenerateSynchro();
    b.GenerateTable();
    EXPECT_EQ(a.K, b.K);
    EXPECT_EQ(a.SY, b.SY);
    EXPECT_EQ(a.H, b.H);
    for (int i = 0; i < 8; ++i) {
        std::set<int> seen(std::begin(a.H1[i]), std::end(a.H1[i]));
        EXPECT_EQ(16u, seen.size()) << "row " << i << " is a permutation";
    }
    for (uint32_t half : {a.SY.N1, a.SY.N2}) {
        EXPECT_LE(half >> 16, 65534u);
        EXPECT_LE(half & 0xFFFF, 65534u);
    }
    // Roughly half of the 256 key bits are set.
    int bits = 0;
    for (uint32_t k : a.K)
        bits += std::popcount(k);
    EXPECT_GT(bits, 80);
    EXPECT_LT(bits, 176);
    TSeededRandom r3(43);
    TGOSTCrypt c(&r3);
    c.GenerateKey();
    EXPECT_NE(a.K, c.K);
}

TEST(GOSTCrypt, SystemGeneratorGivesDifferentValues) {
    TGOSTCrypt a, b;
    a.GenerateAll();
    b.GenerateAll();
    EXPECT_NE(a.K, b.K);
    EXPECT_NE(a.SY, b.SY);
    TSystemRandom r;
    std::set<uint32_t> drawn;
    for (int i = 0; i < 200; ++i) {
        uint32_t v = r.Below(7);
        EXPECT_LT(v, 7u);
        drawn.insert(v);
    }
    EXPECT_EQ(7u, drawn.size());
}

TEST(CRC32, MatchesTheStandardCheckValue) {
    const char* text = "123456789";
    EXPECT_EQ(0xCBF43926u, CRC32(text, 9));
    EXPECT_EQ(0u, CRC32(text, 0));
    EXPECT_EQ(CRC32(text, 9), CRC32Update(CRC32(text, 4), text + 4, 5));
}
