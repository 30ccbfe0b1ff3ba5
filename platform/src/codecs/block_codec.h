// The layer's own encoders for the block codecs, Video 1, Cinepak and ZMBV:
// what they share. The first two code the picture in 4x4 blocks, choose per
// block between a few codings by distortion plus a weight (lambda) times
// the bits each costs, and split the picture into bands of block rows
// compressed on all cores at once; ZMBV, lossless, finds a motion vector
// for each 16x16 block on all cores and has no use for lambda.
#ifndef AVIFILE_CODECS_BLOCK_CODEC_H
#define AVIFILE_CODECS_BLOCK_CODEC_H

#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <condition_variable>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "codecs/codec_table.h"
#include "codecs/dib_layout.h"
#include "codecs/encoder.h"

namespace avifile::codecs {

// The own encoder of `profile` (Video 1, Cinepak or ZMBV); null for other codecs,
// or when AVIFILE_LIBRARY_ENCODERS is set in the environment (any value),
// which keeps the library encoders for comparison.
std::unique_ptr<Encoder> createBlockEncoder(const CodecProfile& profile,
                                            const EncoderSettings& settings);

// Whether the environment asks for the library encoders of these codecs.
bool libraryBlockEncodersWanted();

// The picture as the encoders read it: the caller's rows, top row first.
struct PictureView {
    const uint8_t* top = nullptr;
    ptrdiff_t step = 0;  // from one row to the one below
    int pixelBytes = 3;  // 3 or 4, blue first
    int width = 0;
    int height = 0;

    const uint8_t* row(int y) const { return top + step * y; }
};

// Threads kept for an encoder's frames: run() hands out work(0) ..
// work(count - 1), thread t of n (this one is 0) taking tasks t, t + n, ...
// Which thread runs which task never changes a result. The helpers start
// with the first run and wait between runs; where no thread can be had,
// fewer threads do the work. An exception in a task comes out of run().
class TaskPool {
public:
    explicit TaskPool(int threads) : wanted_(std::max(threads, 1)) {}
    ~TaskPool();
    TaskPool(const TaskPool&) = delete;
    TaskPool& operator=(const TaskPool&) = delete;

    void run(int count, const std::function<void(int)>& work);

private:
    void share(int first, int stride);
    void helper(int index);

    int wanted_;
    bool started_ = false;
    std::mutex mutex_;
    std::condition_variable wake_, finished_;
    std::vector<std::thread> helpers_;
    const std::function<void(int)>* work_ = nullptr;
    int count_ = 0;
    uint64_t round_ = 0;  // counts runs, so that a helper takes each once
    int busy_ = 0;        // helpers still at the current run
    bool stopping_ = false;
    std::exception_ptr failure_;
};

// The threads worth using: the cores, at most 8.
int encoderThreads();

// Keeps lambda where the stream meets its data rate, or at the one its
// quality asks for when none is set.
class RateControl {
public:
    // `baseLambda`: the lambda of the default quality; `bytesPerFrame` 0
    // when no data rate is asked for.
    void start(const EncoderSettings& settings, double baseLambda);
    double lambda() const;
    void frameDone(size_t bytes);

private:
    double fixed_ = 1.0;
    double target_ = 0.0;   // bytes a frame, 0: none
    double window_ = 15.0;  // frames over which a surplus or lack is made up
    double logBase_ = 0.0;  // learnt log lambda that gives the target
    double spent_ = 0.0;    // bytes over the target so far
};

// The base of these encoders: checks formats and frames as the library
// encoders do, keeps the key-frame interval and the rate, and hands each
// frame to the codec.
class BlockCodecEncoder : public Encoder {
public:
    BlockCodecEncoder(const CodecProfile& profile, const EncoderSettings& settings,
                      uint32_t keyInterval, double baseLambda);

    HRESULT open(const BITMAPINFOHEADER& input, std::vector<uint8_t>& compressedFormat) final;
    HRESULT encode(const void* frame, size_t bytes, EncodedSample& out) final;

protected:
    // Prepares for frames of this size; false when out of memory.
    virtual bool prepare(int width, int height) = 0;
    // Compresses one frame into `out`; `keyFrame` may be turned on by the
    // codec (a frame coded without reference to the last). False on failure.
    virtual bool compress(const PictureView& picture, double lambda, bool& keyFrame,
                          std::vector<uint8_t>& out) = 0;
    virtual uint16_t bitCount() const = 0;

    const CodecProfile& profile_;
    EncoderSettings settings_;
    int threads_ = 1;
    std::unique_ptr<TaskPool> pool_;

private:
    uint32_t keyInterval_;
    double baseLambda_;
    DibLayout layout_;
    BITMAPINFOHEADER input_{};
    bool opened_ = false;
    std::vector<uint8_t> format_;
    std::vector<uint8_t> sample_;
    RateControl rate_;
    int64_t framesEncoded_ = 0;
    int64_t sinceKey_ = 0;
};

}  // namespace avifile::codecs

#endif  // AVIFILE_CODECS_BLOCK_CODEC_H
