#include "image_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <future>
#include <string>
#include <vector>

#include "download_state.h"
#include "scratch_dir.h"

namespace romlift {
namespace {

using ::romlift::testing::OpenDescriptorCount;
using ::romlift::testing::ScratchDir;

// The transmit buffer's data area: 100 bytes less the length and two offset bytes.
constexpr size_t kArea = 97;

std::vector<uint8_t> Pattern(size_t n) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) {
        v[i] = static_cast<uint8_t>(i * 7 + i / 256 + 3);
    }
    return v;
}

// Runs `f` on another thread so that an open that blocks on `path` fails the test instead of
// stalling it; a blocked FIFO open is released by opening the FIFO for writing.
template <class F>
auto WithinFiveSeconds(const std::filesystem::path& path, F f) {
    auto done = std::async(std::launch::async, f);
    if (done.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
        ADD_FAILURE() << "blocked on " << path;
        const int w = ::open(path.c_str(), O_RDWR | O_NONBLOCK);
        done.wait();
        if (w >= 0) {
            ::close(w);
        }
    }
    return done.get();
}

class ImageStreamTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_FALSE(dir_.Path().empty()) << "no scratch folder"; }

    std::filesystem::path Write(const std::string& name, const std::vector<uint8_t>& bytes) {
        std::filesystem::path p = dir_.Path() / name;
        EXPECT_EQ(dir_.Write(name, bytes), p);
        return p;
    }
    std::filesystem::path Fifo() {
        const std::filesystem::path p = dir_.Path() / "PLQ5A_fifo.abs";
        EXPECT_EQ(::mkfifo(p.c_str(), 0644), 0);
        return p;
    }

    static void OpenWithin5s(ImageStream& stream, const std::filesystem::path& path) {
        WithinFiveSeconds(path, [&] {
            stream.Open(path);
            return 0;
        });
    }

    const std::vector<uint8_t> five_{0x12, 0x34, 0x56, 0x78, 0x9A};  // XOR 0x92
    ScratchDir dir_;
};

TEST_F(ImageStreamTest, ChecksumOfZeroBytesReadsNothing) {
    ImageStream s;
    s.Open(Write("a.abs", five_));
    EXPECT_EQ(FirmwareHelper::FileChecksum(s, 0), 0);
    EXPECT_EQ(s.Get(), 0x12);
}

TEST_F(ImageStreamTest, ChecksumOfWholeAndPartOfFile) {
    const auto path = Write("a.abs", five_);
    ImageStream s;
    s.Open(path);
    EXPECT_EQ(FirmwareHelper::FileChecksum(s, 5), 0x92);
    EXPECT_FALSE(s.IsUnusable());

    s.Open(path);
    EXPECT_EQ(FirmwareHelper::FileChecksum(s, 3), 0x70);
    EXPECT_EQ(s.Get(), 0x78) << "checksum read past its count";
}

TEST_F(ImageStreamTest, ChecksumOfShortFileFoldsEndOfFileOnce) {
    const auto path = Write("short.abs", five_);
    // 0x92 ^ 0xFF; folding 0xFF in once per missing byte would give 0x92 for 7 and 9.
    for (uint32_t count : {6u, 7u, 9u, 100000u}) {
        ImageStream s;
        s.Open(path);
        EXPECT_EQ(FirmwareHelper::FileChecksum(s, count), 0x6D) << "count " << count;
        EXPECT_TRUE(s.IsUnusable());
        EXPECT_TRUE(s.Eof());
        EXPECT_EQ(s.Get(), -1);
    }
    ImageStream empty;
    empty.Open(Write("empty.abs", {}));
    EXPECT_EQ(FirmwareHelper::FileChecksum(empty, 1), 0xFF);
    EXPECT_TRUE(empty.IsUnusable());
}

TEST_F(ImageStreamTest, ChunkOfZeroBytesClearsArea) {
    ImageStream s;
    s.Open(Write("a.abs", five_));
    std::array<uint8_t, kArea + 1> buf;
    buf.fill(0xEE);
    EXPECT_TRUE(FirmwareHelper::ReadChunk(s, buf.data(), 0, kArea));
    EXPECT_THAT(std::vector<uint8_t>(buf.begin(), buf.begin() + kArea), ::testing::Each(0));
    EXPECT_EQ(buf[kArea], 0xEE) << "zeroed beyond the capacity";
    ASSERT_TRUE(FirmwareHelper::ReadChunk(s, buf.data(), 2, kArea));
    EXPECT_EQ(buf[0], 0x12);
    EXPECT_EQ(buf[1], 0x34);
}

TEST_F(ImageStreamTest, ChunkLongerThanCapacityRefusedAndNothingLost) {
    ImageStream s;
    s.Open(Write("a.abs", Pattern(200)));
    std::array<uint8_t, kArea> buf{};
    EXPECT_FALSE(FirmwareHelper::ReadChunk(s, buf.data(), 51, 50));
    EXPECT_FALSE(FirmwareHelper::ReadChunk(s, buf.data(), kArea + 1, kArea));
    ASSERT_TRUE(FirmwareHelper::ReadChunk(s, buf.data(), 3, kArea));
    EXPECT_THAT(std::vector<uint8_t>(buf.begin(), buf.begin() + 3),
                ::testing::ElementsAre(0x03, 0x0A, 0x11));
}

TEST_F(ImageStreamTest, LastChunkOfOneByte) {
    const auto data = Pattern(51);
    ImageStream s;
    s.Open(Write("fw.abs", data));
    std::array<uint8_t, kArea> buf;
    buf.fill(0xEE);
    ASSERT_TRUE(FirmwareHelper::ReadChunk(s, buf.data(), 50, kArea));
    EXPECT_TRUE(std::equal(data.begin(), data.begin() + 50, buf.begin()));
    EXPECT_THAT(std::vector<uint8_t>(buf.begin() + 50, buf.end()), ::testing::Each(0));

    buf.fill(0xEE);
    ASSERT_TRUE(FirmwareHelper::ReadChunk(s, buf.data(), 1, kArea));
    EXPECT_EQ(buf[0], 0x61);  // byte 50: 50 * 7 + 3 = 353
    EXPECT_THAT(std::vector<uint8_t>(buf.begin() + 1, buf.end()), ::testing::Each(0));

    EXPECT_FALSE(FirmwareHelper::ReadChunk(s, buf.data(), 1, kArea)) << "read past the end";
    EXPECT_TRUE(s.IsUnusable());
    EXPECT_FALSE(FirmwareHelper::ReadChunk(s, buf.data(), 0, kArea)) << "unusable stream";
}

TEST_F(ImageStreamTest, ChunkOnStreamNeverOpenedFails) {
    ImageStream s;
    std::array<uint8_t, kArea> buf{};
    EXPECT_FALSE(FirmwareHelper::ReadChunk(s, buf.data(), 1, kArea));
}

// The image shrinks to 10010 bytes after the first frame: the 200 whole chunks it still holds
// go out, the 201st (10 bytes left) must fail rather than be padded with zeros.
TEST_F(ImageStreamTest, FileShrinksToMidImage) {
    const auto data = Pattern(20000);
    const auto path = Write("fw.abs", data);
    ImageStream s;
    s.Open(path);
    std::array<uint8_t, kArea> buf{};
    ASSERT_TRUE(FirmwareHelper::ReadChunk(s, buf.data(), 50, kArea));
    ASSERT_EQ(::truncate(path.c_str(), 10010), 0);

    size_t chunks = 1;
    while (chunks < 400 && FirmwareHelper::ReadChunk(s, buf.data(), 50, kArea)) {
        ASSERT_TRUE(std::equal(buf.begin(), buf.begin() + 50, data.begin() + chunks * 50))
            << "chunk " << chunks;
        ++chunks;
    }
    EXPECT_EQ(chunks, 200u);
    EXPECT_TRUE(s.IsUnusable());
}

// The image shrinks far below the read position: whatever the stream already holds goes out
// intact, and no chunk succeeds with bytes the file no longer has.
TEST_F(ImageStreamTest, FileShrinksBelowReadPosition) {
    const auto data = Pattern(40000);
    const auto path = Write("fw.abs", data);
    ImageStream s;
    s.Open(path);
    std::array<uint8_t, kArea> buf{};
    size_t chunks = 0;
    for (; chunks < 200; ++chunks) {
        ASSERT_TRUE(FirmwareHelper::ReadChunk(s, buf.data(), 50, kArea));
    }
    ASSERT_EQ(::truncate(path.c_str(), 100), 0);

    bool failed = false;
    for (; chunks < 800; ++chunks) {
        if (!FirmwareHelper::ReadChunk(s, buf.data(), 50, kArea)) {
            failed = true;
            break;
        }
        ASSERT_TRUE(std::equal(buf.begin(), buf.begin() + 50, data.begin() + chunks * 50))
            << "chunk " << chunks;
    }
    EXPECT_TRUE(failed) << "all 800 chunks of a 100-byte file succeeded";
    EXPECT_LT(chunks, 800u);
    EXPECT_FALSE(FirmwareHelper::ReadChunk(s, buf.data(), 50, kArea));
}

TEST_F(ImageStreamTest, TellCountsAcrossReadAhead) {
    ImageStream s;
    s.Open(Write("fw.abs", Pattern(20000)));
    EXPECT_EQ(s.Tell(), 0);
    s.Get();
    s.Get();
    s.Get();
    EXPECT_EQ(s.Tell(), 3);
    std::vector<uint8_t> out(9000);
    EXPECT_EQ(s.Read(out.data(), out.size()), 9000u);
    EXPECT_EQ(s.Tell(), 9003);
    EXPECT_EQ(out[8999], Pattern(9003)[9002]);
}

TEST_F(ImageStreamTest, OddFilesAreUnusable) {
    const auto fifo = Fifo();
    std::filesystem::create_directory(dir_.Path() / "drivers.abs");
    std::filesystem::create_symlink(dir_.Path() / "gone.abs", dir_.Path() / "dangling.abs");
    std::filesystem::create_directory_symlink(dir_.Path() / "drivers.abs",
                                              dir_.Path() / "dirlink.abs");
    const std::filesystem::path odd[] = {
        dir_.Path() / "missing.abs",  dir_.Path() / "drivers.abs", fifo, "/dev/null",
        dir_.Path() / "dangling.abs", dir_.Path() / "dirlink.abs", "",
    };
    for (const auto& p : odd) {
        ImageStream s;
        OpenWithin5s(s, p);
        EXPECT_TRUE(s.IsUnusable()) << p;
        EXPECT_FALSE(s.IsOpen()) << p;
        EXPECT_EQ(s.Get(), -1) << p;
    }
}

TEST_F(ImageStreamTest, LinksAndHostileNamesOpen) {
    const std::vector<uint8_t> data{0xC3, 0x01};
    const auto target = Write("PLQ5A-1.abs", data);
    std::filesystem::create_symlink(target, dir_.Path() / "link.abs");
    const std::filesystem::path names[] = {
        dir_.Path() / "link.abs",
        Write("PLQ5A with spaces .abs", data),
        Write("PLQ5A%s%n%x.abs", data),
        Write("PLQ5A\xff\xfe\x80.abs", data),
        Write("-PLQ5A;rm -rf $HOME`x`.abs", data),
    };
    for (const auto& p : names) {
        ImageStream s;
        s.Open(p);
        EXPECT_FALSE(s.IsUnusable()) << p;
        EXPECT_EQ(s.Get(), 0xC3) << p;
    }
}

TEST_F(ImageStreamTest, OpenClearsEarlierState) {
    const auto a = Write("a.abs", five_);
    const auto b = Write("b.abs", {0x41, 0x42});
    ImageStream s;
    s.Open(dir_.Path() / "missing.abs");
    ASSERT_TRUE(s.IsUnusable());
    s.Open(a);
    EXPECT_FALSE(s.IsUnusable());
    EXPECT_EQ(s.Get(), 0x12);

    // Run into end of file, then open another image: no stale bytes, no stale end-of-file.
    EXPECT_EQ(FirmwareHelper::FileChecksum(s, 100), 0x7F);  // 0x34^0x56^0x78^0x9A^0xFF
    ASSERT_TRUE(s.Eof());
    s.Open(b);
    EXPECT_FALSE(s.Eof());
    EXPECT_FALSE(s.IsUnusable());
    EXPECT_EQ(s.Tell(), 0);
    EXPECT_EQ(s.Get(), 0x41);
}

TEST_F(ImageStreamTest, CloseOnUnattachedStreamIsHarmless) {
    const int before = OpenDescriptorCount();
    ImageStream s;
    s.Close();
    s.Close();
    EXPECT_FALSE(s.IsOpen());
    EXPECT_EQ(OpenDescriptorCount(), before);
}

TEST_F(ImageStreamTest, NoDescriptorLeftBehind) {
    const auto good = Write("fw.abs", Pattern(9000));
    const auto fifo = Fifo();
    const int before = OpenDescriptorCount();
    {
        ImageStream s;
        s.Open(good);
        s.Open(good);  // reopened without a Close
        s.Open(dir_.Path() / "missing.abs");
        s.Open(dir_.Path());
        OpenWithin5s(s, fifo);
        s.Open(good);
        FirmwareHelper::FileChecksum(s, 100000);
        s.Close();
        s.Close();
        s.Open(good);
        ASSERT_TRUE(s.IsOpen());
        DownloadState state;
        OpenImage(state, good);
        EXPECT_FALSE(IsUnusable(state));
        CloseImage(state);
        OpenImage(state, good);  // left to the destructor
    }
    EXPECT_EQ(OpenDescriptorCount(), before);
}

TEST_F(ImageStreamTest, OpenRegularFileOnlyForRegularFiles) {
    const auto good = Write("fw.abs", five_);
    std::filesystem::create_symlink(good, dir_.Path() / "link.abs");
    const int before = OpenDescriptorCount();
    for (const auto& p : {good, dir_.Path() / "link.abs"}) {
        const int fd = OpenRegularFile(p);
        ASSERT_GE(fd, 0) << p;
        uint8_t b = 0;
        EXPECT_EQ(::read(fd, &b, 1), 1);
        EXPECT_EQ(b, 0x12);
        ::close(fd);
    }
    const auto fifo = Fifo();
    for (const std::filesystem::path& p :
         {dir_.Path() / "missing.abs", dir_.Path(), fifo, std::filesystem::path("/dev/null"),
          std::filesystem::path("")}) {
        EXPECT_EQ(WithinFiveSeconds(p, [&] { return OpenRegularFile(p); }), -1) << p;
    }
    EXPECT_EQ(OpenDescriptorCount(), before);
}

// The observer sees exactly the bytes that go into frames: whole chunks, across a reopen, and
// neither the checksum pass nor a chunk the file could not fill.
TEST_F(ImageStreamTest, ObserverSeesTheChunksSent) {
    struct Collect : ImageObserver {
        std::vector<uint8_t> bytes;
        void ImageRead(const uint8_t* b, size_t n) override { bytes.insert(bytes.end(), b, b + n); }
    } seen;
    const auto data = Pattern(120);
    const auto path = Write("fw.abs", data);
    ImageStream s;
    s.SetObserver(&seen);
    s.Open(path);
    FirmwareHelper::FileChecksum(s, 120);
    s.Close();
    s.Open(path);
    std::array<uint8_t, kArea> buf{};
    ASSERT_TRUE(FirmwareHelper::ReadChunk(s, buf.data(), 50, kArea));
    ASSERT_TRUE(FirmwareHelper::ReadChunk(s, buf.data(), 50, kArea));
    EXPECT_FALSE(FirmwareHelper::ReadChunk(s, buf.data(), 50, kArea)) << "only 20 bytes left";
    EXPECT_EQ(seen.bytes, std::vector<uint8_t>(data.begin(), data.begin() + 100));
}

}  // namespace
}  // namespace romlift
