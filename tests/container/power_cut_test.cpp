// Power cuts: recordings are written over the power-cut disk, the disk's
// possible states are rebuilt at every operation of short recordings and at
// random operations of a long one, and the repair runs on each. What must
// hold at every cut: the file opens after repair (or is refused only when
// nothing of the recording had been made durable), garbage in a header
// sector included; every frame reported written before the last completed
// flush is there, byte for byte; no frame is there that was not written
// whole (torn, zeroed, or the old movie's); a movie that finished is
// complete as it is; a second repair changes nothing; a repair cut short is
// finished by another. POWER_CUT_SEED, POWER_CUT_DRAWS (images per cut point) and
// POWER_CUT_LONG_CUTS scale the run (scripts/soak-power-cut.sh); the seed
// is printed with every failure, and POWER_CUT_KEEP=FOLDER keeps the image
// of the failing cut there.
#include <gtest/gtest.h>

#include <cstdlib>
#include <iostream>
#include <random>

#include "api/failure_reason.h"
#include "avifile_hooks.h"
#include "container/avi_writer.h"
#include "container_fixtures.h"
#include "power_cut_disk.h"
#include "riff/file_system.h"
#include "support/riff_reader.h"
#include "support/temp_dir.h"

namespace {

constexpr int kWidth = 64;
constexpr int kHeight = 48;
constexpr int kOldMovieFrames = 500;  // frame numbers of the movie written over

uint64_t setting(const char* name, uint64_t fallback) {
    const char* text = std::getenv(name);
    return text != nullptr && text[0] != '\0' ? std::strtoull(text, nullptr, 10) : fallback;
}

struct Scenario {
    const char* name;
    fixtures::SinkPath path;
    bool overOldMovie;   // written over a longer finished movie
    double syncSeconds;  // the writer's sync interval (0: at close only)
    int frames;
    bool everyCut;  // every operation a cut point, else random ones
};
void PrintTo(const Scenario& scenario, std::ostream* out) { *out << scenario.name; }

// Installs the power-cut disk for the writer's calls only.
class Installed {
public:
    explicit Installed(powercut::PowerCutDisk& disk) { avifile::setFileSystem(&disk); }
    ~Installed() { avifile::setFileSystem(nullptr); }
};

struct Recording {
    std::vector<size_t> reportedAt;  // operations logged when frame i was reported written
    size_t finishedAt = 0;           // operations logged when finish reported success
};

void writeOldMovie(const std::string& path, int frames) {
    auto writer = fixtures::videoWriter(avifile::createAviFileSink(path.c_str()), kWidth, kHeight);
    for (int i = 0; i < frames; ++i) {
        const std::vector<uint8_t> frame = fixtures::dibFrame(kWidth, kHeight, kOldMovieFrames + i);
        ASSERT_EQ(writer->writeSample(0, frame.data(), frame.size(), true), AVIERR_OK);
    }
    ASSERT_EQ(writer->finish(), AVIERR_OK);
}

Recording record(powercut::PowerCutDisk& disk, const std::string& path, const Scenario& scenario) {
    Recording recording;
    const Installed installed(disk);
    avifile::ContainerSettings settings;
    settings.syncSeconds = scenario.syncSeconds;
    auto writer = fixtures::videoWriter(avifile::createAviFileSink(path.c_str(), scenario.path.options),
                                        kWidth, kHeight, settings);
    for (int i = 0; i < scenario.frames; ++i) {
        const std::vector<uint8_t> frame = fixtures::dibFrame(kWidth, kHeight, i);
        EXPECT_EQ(writer->writeSample(0, frame.data(), frame.size(), true), AVIERR_OK);
        recording.reportedAt.push_back(disk.operations());
    }
    EXPECT_EQ(writer->finish(), AVIERR_OK) << avifile::failureReason();
    recording.finishedAt = disk.operations();
    return recording;
}

// What the cuts found beyond what must hold.
struct Tally {
    uint64_t cuts = 0;
    uint64_t refused = 0;     // refused, nothing having been made durable
    uint64_t unsynced = 0;    // frames shown after the last flush, whole
    uint64_t repairCuts = 0;  // repairs cut by a power cut, then repaired again
    uint64_t reported = 0;    // frames reported written before the cuts, summed
    uint64_t kept = 0;        // of those, back whole after the repair
};

class PowerCut : public testing::TestWithParam<Scenario> {};

void checkRepairedAgain(const std::string& image, const std::vector<uint8_t>& bytes);

// Repairs the image at `image` and checks what must hold.
// Repairs the file at `path` over a power-cut disk of its own (whose
// flushes cost nothing); `disk` then holds the repair's operations.
avifile::RepairReport repairOver(powercut::PowerCutDisk& disk, const std::string& path) {
    const Installed installed(disk);
    return avifile::repairRecording(path.c_str());
}

void checkCut(const std::string& image, const powercut::Image& cutImage, size_t synced,
              size_t reported, bool anythingDurable, bool finished, int frames, Tally& tally,
              std::mt19937_64& random) {
    ++tally.cuts;
    tally.reported += reported;
    powercut::PowerCutDisk repairDisk(image);
    const avifile::RepairReport report = repairOver(repairDisk, image);
    if (!cutImage.exists || report.outcome == avifile::RepairOutcome::Refused) {
        EXPECT_FALSE(anythingDurable && synced > 0)
            << "refused with " << synced << " frames flushed: " << report.message;
        ++tally.refused;
        return;
    }
    ASSERT_NE(report.outcome, avifile::RepairOutcome::Failed) << report.message;
    if (finished) {
        EXPECT_EQ(report.outcome, avifile::RepairOutcome::AlreadyComplete)
            << "a finished movie was not complete after the cut: " << report.message;
    }
    const std::vector<uint8_t> bytes = riffcheck::readWholeFile(image);
    const riffcheck::File file = riffcheck::parse(bytes);
    ASSERT_TRUE(file.ok()) << file.describeErrors();
    ASSERT_EQ(file.streams.size(), 1u);
    const std::vector<riffcheck::Sample>& samples = file.streams[0].samples;
    EXPECT_GE(samples.size(), synced) << "frames flushed before the cut are missing";
    if (!anythingDurable) {
        return;  // the old movie, or what there is of the new one, may be back
    }
    if (finished) {
        EXPECT_EQ(samples.size(), static_cast<size_t>(frames));
    }
    for (size_t i = 0; i < samples.size(); ++i) {
        // A frame past the recording's last is the old movie's.
        const bool whole = i < static_cast<size_t>(frames) &&
                           riffcheck::sampleData(bytes, samples[i]) ==
                               fixtures::dibFrame(kWidth, kHeight, static_cast<int>(i));
        tally.kept += whole && i < reported ? 1 : 0;
        if (i < synced || finished) {
            EXPECT_TRUE(whole) << "frame " << i << " was flushed but came back changed";
        } else if (whole) {
            ++tally.unsynced;
        } else {
            ADD_FAILURE() << "frame " << i << " is back, but it was not written whole";
        }
    }
    checkRepairedAgain(image, bytes);
    if (repairDisk.operations() > 0 && !testing::Test::HasFailure()) {
        // The repair itself cut by a power cut: a second repair finishes it,
        // with every frame that the first one kept.
        const size_t cut = random() % repairDisk.operations();
        SCOPED_TRACE(testing::Message() << "the repair cut at " << cut << " of "
                                        << repairDisk.operations());
        const std::string again = image + ".again";
        powercut::materialise(repairDisk.imageAt(cut, random, {}), again);
        powercut::PowerCutDisk secondDisk(again);
        const avifile::RepairReport second = repairOver(secondDisk, again);
        ASSERT_TRUE(second.outcome == avifile::RepairOutcome::Repaired ||
                    second.outcome == avifile::RepairOutcome::AlreadyComplete)
            << second.message;
        const std::vector<uint8_t> repaired = riffcheck::readWholeFile(again);
        const riffcheck::File file2 = riffcheck::parse(repaired);
        ASSERT_TRUE(file2.ok()) << file2.describeErrors();
        ASSERT_GE(file2.streams[0].samples.size(), synced);
        for (size_t i = 0; i < synced; ++i) {
            EXPECT_EQ(riffcheck::sampleData(repaired, file2.streams[0].samples[i]),
                      fixtures::dibFrame(kWidth, kHeight, static_cast<int>(i)))
                << "frame " << i << " lost to a repair cut short";
        }
        ++tally.repairCuts;
    }
}

void checkRepairedAgain(const std::string& image, const std::vector<uint8_t>& bytes) {
    const avifile::RepairReport again = avifile::repairRecording(image.c_str());
    EXPECT_EQ(again.outcome, avifile::RepairOutcome::AlreadyComplete) << again.message;
    EXPECT_EQ(riffcheck::readWholeFile(image), bytes) << "a second repair changed the file";
}

TEST_P(PowerCut, RepairKeepsEveryFlushedFrame) {
    const Scenario& scenario = GetParam();
    const uint64_t seed = setting("POWER_CUT_SEED", 20261211);
    const uint64_t draws = setting("POWER_CUT_DRAWS", 4);
    const uint64_t longCuts = setting("POWER_CUT_LONG_CUTS", 200);
    TempDir dir;
    const std::string path = dir.file("movie.avi");
    const std::string image = dir.file("cut.avi");
    if (scenario.overOldMovie) {
        writeOldMovie(path, scenario.frames * 2);
    }
    powercut::PowerCutDisk disk(path);
    const Recording recording = record(disk, path, scenario);
    ASSERT_FALSE(HasFailure());

    std::mt19937_64 random(seed);
    std::vector<size_t> cuts;
    if (scenario.everyCut) {
        for (size_t cut = 0; cut <= disk.operations(); ++cut) {
            cuts.insert(cuts.end(), draws, cut);
        }
    } else {
        std::uniform_int_distribution<size_t> anyCut(0, disk.operations());
        for (uint64_t i = 0; i < longCuts * draws / 3; ++i) {
            cuts.push_back(anyCut(random));
        }
    }
    Tally tally;
    for (size_t n = 0; n < cuts.size(); ++n) {
        const size_t cut = cuts[n];
        const uint64_t cutSeed = seed ^ (uint64_t{n} * 0x9E3779B97F4A7C15ull);
        std::mt19937_64 draw(cutSeed);
        const powercut::CutOptions options{.garbage = n % 2 == 1};
        const std::optional<size_t> lastSync = disk.lastSync(cut);
        size_t synced = 0;
        while (lastSync && synced < recording.reportedAt.size() &&
               recording.reportedAt[synced] <= *lastSync) {
            ++synced;
        }
        SCOPED_TRACE(testing::Message() << scenario.name << ": cut " << cut << " of "
                                        << disk.operations() << ", " << synced
                                        << " frames flushed, seed " << cutSeed);
        const powercut::Image cutImage = disk.imageAt(cut, draw, options);
        powercut::materialise(cutImage, image);
        size_t reported = 0;
        while (reported < recording.reportedAt.size() && recording.reportedAt[reported] <= cut) {
            ++reported;
        }
        checkCut(image, cutImage, synced, reported, lastSync.has_value(), cut >= recording.finishedAt,
                 scenario.frames, tally, draw);
        if (HasFailure()) {
            // The first failing cut says it all; POWER_CUT_KEEP names a
            // folder to keep its image in.
            if (const char* keep = std::getenv("POWER_CUT_KEEP"); keep != nullptr) {
                powercut::materialise(cutImage, std::string(keep) + "/cut.avi");
            }
            break;
        }
    }
    std::cout << "[ power cut ] " << scenario.name << ": " << tally.cuts << " cuts of "
              << disk.operations() << " operations, "
              << static_cast<double>(tally.reported - std::min(tally.kept, tally.reported)) /
                     static_cast<double>(std::max<uint64_t>(tally.cuts, 1))
              << " frames lost a cut, " << tally.refused
              << " with nothing flushed, " << tally.unsynced
              << " unflushed frames back whole, " << tally.repairCuts
              << " repairs cut and finished again\n";
    RecordProperty("cuts", static_cast<int>(tally.cuts));
}

// Sync intervals of 0.2 s: a flush every third frame at 15 frames a second.
INSTANTIATE_TEST_SUITE_P(
    Cuts, PowerCut,
    testing::Values(Scenario{"NewBuffered", fixtures::kBuffered, false, 0.0, 12, true},
                    Scenario{"NewDirect", fixtures::kDirect, false, 0.0, 12, true},
                    Scenario{"NewBufferedSynced", fixtures::kBuffered, false, 0.2, 12, true},
                    Scenario{"NewDirectSynced", fixtures::kDirect, false, 0.2, 12, true},
                    Scenario{"OverOldBuffered", fixtures::kBuffered, true, 0.0, 12, true},
                    Scenario{"OverOldDirectSynced", fixtures::kDirect, true, 0.2, 12, true},
                    Scenario{"OverOldBufferedSynced", fixtures::kBuffered, true, 0.2, 12, true},
                    Scenario{"LongBufferedSynced", fixtures::kBuffered, false, 1.0, 300, false},
                    Scenario{"LongOverOldDirectSynced", fixtures::kDirect, true, 1.0, 300, false}),
    [](const testing::TestParamInfo<Scenario>& cut) { return std::string(cut.param.name); });

}  // namespace

// Failures on cue through the same disk: each reaches the caller with its
// reason, and nothing already written is lost.
class DiskFaults : public testing::Test {
protected:
    void SetUp() override {
        path = dir.file("movie.avi");
        avifile::clearFailureReason();
    }
    std::unique_ptr<avifile::AviWriter> writer(powercut::PowerCutDisk& disk) {
        avifile::setFileSystem(&disk);
        return fixtures::videoWriter(avifile::createAviFileSink(path.c_str()), kWidth, kHeight);
    }
    void TearDown() override { avifile::setFileSystem(nullptr); }
    // Writes frames [from, to); expects each to be taken.
    static void writeFrames(avifile::AviWriter& movie, int from, int to) {
        for (int i = from; i < to; ++i) {
            const std::vector<uint8_t> frame = fixtures::dibFrame(kWidth, kHeight, i);
            ASSERT_EQ(movie.writeSample(0, frame.data(), frame.size(), true), AVIERR_OK) << i;
        }
    }
    size_t framesInFile() const {
        const riffcheck::File file = riffcheck::parseFile(path);
        EXPECT_TRUE(file.ok()) << file.describeErrors();
        return file.streams.empty() ? 0 : file.streams[0].samples.size();
    }
    TempDir dir;
    std::string path;
};

TEST_F(DiskFaults, DiskFullAtTheLastIndexFailsTheCloseAndRepairKeepsEveryFrame) {
    powercut::PowerCutDisk disk(path);
    auto movie = writer(disk);
    writeFrames(*movie, 0, 10);
    struct stat info {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    const auto end = static_cast<uint64_t>(info.st_size);
    disk.fault = [end](powercut::Call call, uint64_t at, size_t) {
        return call == powercut::Call::Write && at >= end ? ENOSPC : 0;
    };
    EXPECT_EQ(movie->finish(), AVIERR_FILEWRITE);
    EXPECT_EQ(avifile::failureReason(), "the disk is full");
    movie.reset();
    avifile::setFileSystem(nullptr);
    const avifile::RepairReport report = avifile::repairRecording(path.c_str());
    EXPECT_EQ(report.outcome, avifile::RepairOutcome::Repaired) << report.message;
    EXPECT_EQ(framesInFile(), 10u);
}

TEST_F(DiskFaults, FailedFlushAtCloseFailsItAndIsNeverTriedAgain) {
    powercut::PowerCutDisk disk(path);
    auto movie = writer(disk);
    writeFrames(*movie, 0, 10);
    int flushes = 0;
    disk.fault = [&flushes](powercut::Call call, uint64_t, size_t) {
        return call == powercut::Call::DataSync && ++flushes > 0 ? EIO : 0;
    };
    EXPECT_EQ(movie->finish(), AVIERR_FILEWRITE);
    EXPECT_EQ(avifile::failureReason(),
              "the file could not be flushed to the disk: Input/output error");
    EXPECT_EQ(flushes, 1) << "a failed flush was tried again as if nothing had happened";
}

TEST_F(DiskFaults, IoErrorOnAFrameRefusesThatFrameOnly) {
    powercut::PowerCutDisk disk(path);
    auto movie = writer(disk);
    writeFrames(*movie, 0, 5);
    struct stat info {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    const auto end = static_cast<uint64_t>(info.st_size);
    disk.fault = [end](powercut::Call call, uint64_t at, size_t) {
        return call == powercut::Call::Write && at == end ? EIO : 0;
    };
    const std::vector<uint8_t> frame = fixtures::dibFrame(kWidth, kHeight, 5);
    avifile::clearFailureReason();  // as every call of the library does first
    EXPECT_EQ(movie->writeSample(0, frame.data(), frame.size(), true), AVIERR_FILEWRITE);
    EXPECT_EQ(avifile::failureReason(), "the file could not be written: Input/output error");
    disk.fault = nullptr;
    writeFrames(*movie, 5, 10);
    EXPECT_EQ(movie->finish(), AVIERR_OK) << avifile::failureReason();
    EXPECT_EQ(framesInFile(), 10u);
}

// Through the library's calls: the release that finishes the file leaves
// the reason, as the host reads it (avirec then exits 1 and says to run
// --repair).
TEST_F(DiskFaults, ReleaseThatCannotFinishTheFileLeavesItsReason) {
    powercut::PowerCutDisk disk(path);
    avifile::setFileSystem(&disk);
    AVIFileInit();
    PAVIFILE file = nullptr;
    ASSERT_EQ(AVIFileOpenA(&file, path.c_str(), OF_CREATE | OF_WRITE, nullptr), AVIERR_OK);
    AVISTREAMINFOA info = fixtures::videoInfo(kWidth, kHeight);
    PAVISTREAM stream = nullptr;
    ASSERT_EQ(AVIFileCreateStreamA(file, &stream, &info), AVIERR_OK);
    BITMAPINFOHEADER format = fixtures::dibHeader(kWidth, kHeight);
    ASSERT_EQ(AVIStreamSetFormat(stream, 0, &format, sizeof format), AVIERR_OK);
    std::vector<uint8_t> frame = fixtures::dibFrame(kWidth, kHeight, 0);
    ASSERT_EQ(AVIStreamWrite(stream, 0, 1, frame.data(), static_cast<LONG>(frame.size()),
                             AVIIF_KEYFRAME, nullptr, nullptr),
              AVIERR_OK);
    disk.fault = [](powercut::Call call, uint64_t, size_t) {
        return call == powercut::Call::DataSync ? EIO : 0;
    };
    AVIStreamRelease(stream);
    EXPECT_EQ(AVIFileRelease(file), 0u);
    EXPECT_EQ(avifile::lastFailureReason(),
              "the file could not be flushed to the disk: Input/output error");
    AVIFileExit();
}

// The page-cache release of the automatic choice, seen through the seam:
// once appends go direct, the pages written buffered before the switch are
// sent to the device a piece at a time, from the start and without a gap,
// and then dropped from the cache.
class AdviceCounter : public powercut::PowerCutDisk {
public:
    using PowerCutDisk::PowerCutDisk;
    int syncFileRange(int, off_t at, off_t length, unsigned) override {
        EXPECT_EQ(static_cast<uint64_t>(at), sent) << "writeback started out of order";
        sent += static_cast<uint64_t>(length);
        return 0;
    }
    int fadvise(int fd, off_t at, off_t length, int advice) override {
        dropped += advice == POSIX_FADV_DONTNEED ? 1 : 0;
        return PowerCutDisk::fadvise(fd, at, length, advice);
    }
    uint64_t sent = 0;
    int dropped = 0;
};

TEST(CacheRelease, BufferedPagesGoToTheDeviceAndLeaveTheCacheOnceAppendsGoDirect) {
    TempDir dir;
    const std::string path = dir.file("sink.bin");
    AdviceCounter disk(path);
    avifile::setFileSystem(&disk);
    avifile::FileSinkOptions options;
    options.directAfterBytes = 24u << 20;
    options.directMinBytes = 4096;
    auto sink = avifile::createFileSink(path.c_str(), nullptr, options);
    ASSERT_NE(sink, nullptr);
    std::vector<uint8_t> piece(1u << 20, 0x5A);
    const avifile::ConstBuffer part{piece.data(), piece.size()};
    for (int i = 0; i < 24; ++i) {
        ASSERT_TRUE(sink->append({&part, 1}));
    }
    EXPECT_EQ(sink->directBytes(), 0u) << "direct before the threshold";
    EXPECT_EQ(disk.sent, 0u);
    for (int i = 0; i < 40; ++i) {
        ASSERT_TRUE(sink->append({&part, 1}));
    }
    avifile::setFileSystem(nullptr);
    if (sink->directBytes() == 0) {
        GTEST_SKIP() << "no direct I/O where the tests write";
    }
    EXPECT_EQ(disk.sent, uint64_t{24} << 20) << "the buffered pages before the switch";
    EXPECT_GT(disk.dropped, 0);
}
