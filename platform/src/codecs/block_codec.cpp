#include "codecs/block_codec.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <thread>

#include "api/failure_reason.h"
#include "codecs/cinepak_encoder.h"
#include "codecs/codec_failure.h"
#include "codecs/codec_options.h"
#include "codecs/size_rules.h"
#include "codecs/video1_encoder.h"
#include "codecs/zmbv_encoder.h"

namespace avifile::codecs {

bool libraryBlockEncodersWanted() { return std::getenv("AVIFILE_LIBRARY_ENCODERS") != nullptr; }

std::unique_ptr<Encoder> createBlockEncoder(const CodecProfile& profile,
                                            const EncoderSettings& settings) {
    if (libraryBlockEncodersWanted()) {
        return nullptr;
    }
    switch (profile.kind) {
        case CodecKind::Video1:
            return makeVideo1Encoder(profile, settings);
        case CodecKind::Cinepak:
            return makeCinepakEncoder(profile, settings);
        case CodecKind::Zmbv:
            return makeZmbvEncoder(profile, settings);
        default:
            return nullptr;
    }
}

int encoderThreads() {
    const unsigned cores = std::thread::hardware_concurrency();
    return static_cast<int>(std::clamp(cores, 1u, 8u));
}

TaskPool::~TaskPool() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    for (std::thread& thread : helpers_) {
        thread.join();
    }
}

void TaskPool::share(int first, int stride) {
    for (int i = first; i < count_; i += stride) {
        (*work_)(i);
    }
}

void TaskPool::helper(int index) {
    uint64_t seen = 0;
    for (;;) {
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait(lock, [&] { return stopping_ || round_ != seen; });
        if (stopping_) {
            return;
        }
        seen = round_;
        const int stride = static_cast<int>(helpers_.size()) + 1;
        lock.unlock();
        std::exception_ptr failed;
        try {
            share(index, stride);
        } catch (...) {
            failed = std::current_exception();
        }
        lock.lock();
        if (failed && !failure_) {
            failure_ = failed;
        }
        if (--busy_ == 0) {
            finished_.notify_one();
        }
    }
}

void TaskPool::run(int count, const std::function<void(int)>& work) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!started_) {
        started_ = true;
        for (int t = 1; t < wanted_; ++t) {
            try {
                helpers_.emplace_back(&TaskPool::helper, this, t);
            } catch (const std::system_error&) {
                break;  // no more threads to be had: fewer do the work
            }
        }
    }
    work_ = &work;
    count_ = count;
    failure_ = nullptr;
    const int stride = static_cast<int>(helpers_.size()) + 1;
    busy_ = static_cast<int>(helpers_.size());
    ++round_;
    lock.unlock();
    wake_.notify_all();
    std::exception_ptr failed;
    try {
        share(0, stride);
    } catch (...) {
        failed = std::current_exception();
    }
    lock.lock();
    finished_.wait(lock, [&] { return busy_ == 0; });
    work_ = nullptr;
    if (!failed) {
        failed = failure_;
    }
    lock.unlock();
    if (failed) {
        std::rethrow_exception(failed);
    }
}

void RateControl::start(const EncoderSettings& settings, double baseLambda) {
    double lambda = baseLambda;
    if (settings.quality != ICQUALITY_DEFAULT) {
        // Twice the weight on bits for every 1250 less quality: 0 is 64
        // times the default's lambda, 10000 a quarter of it.
        const double quality = std::min<uint32_t>(settings.quality, ICQUALITY_HIGH);
        lambda = baseLambda * std::pow(2.0, (7500.0 - quality) / 1250.0);
    }
    fixed_ = lambda;
    logBase_ = std::log(lambda);
    target_ = 0.0;
    spent_ = 0.0;
    if (settings.bytesPerSecond != 0) {
        const double rate = settings.rate != 0 && settings.scale != 0
                                ? static_cast<double>(settings.rate) / settings.scale
                                : 15.0;
        target_ = settings.bytesPerSecond / rate;
        window_ = std::max(4.0, rate / 2.0);
    }
}

double RateControl::lambda() const {
    if (target_ <= 0.0) {
        return fixed_;
    }
    // A surplus of a window's worth of bytes (half a second) raises
    // lambda e^2 times.
    const double pressure = std::clamp(spent_ / (target_ * window_), -2.0, 2.0);
    return std::exp(std::clamp(logBase_ + 2.0 * pressure, -12.0, 25.0));
}

void RateControl::frameDone(size_t bytes) {
    if (target_ <= 0.0) {
        return;
    }
    const double got = std::max<double>(static_cast<double>(bytes), 1.0);
    spent_ += got - target_;
    logBase_ = std::clamp(logBase_ + std::clamp(0.2 * std::log(got / target_), -0.3, 0.3),
                          -12.0, 25.0);
}

BlockCodecEncoder::BlockCodecEncoder(const CodecProfile& profile, const EncoderSettings& settings,
                                     uint32_t keyInterval, double baseLambda)
    : profile_(profile),
      settings_(settings),
      threads_(encoderThreads()),
      keyInterval_(std::max<uint32_t>(keyInterval, 1)),
      baseLambda_(baseLambda) {
    if (const char* forced = std::getenv("AVIFILE_ENCODER_THREADS")) {
        threads_ = std::clamp(std::atoi(forced), 1, 64);
    }
    pool_ = std::make_unique<TaskPool>(threads_);
}

HRESULT BlockCodecEncoder::open(const BITMAPINFOHEADER& input,
                                std::vector<uint8_t>& compressedFormat) {
    DibLayout layout;
    if (!acceptInputFormat(profile_, settings_, input, layout)) {
        return AVIERR_BADFORMAT;
    }
    if (opened_ && std::memcmp(&input, &input_, sizeof input) == 0) {
        compressedFormat = format_;
        return AVIERR_OK;  // the same format again
    }
    if (framesEncoded_ != 0) {
        return AVIERR_UNSUPPORTED;  // no format changes once frames went out
    }
    opened_ = false;
    if (!prepare(layout.width, layout.height)) {
        setFailureReason("out of memory");
        return AVIERR_MEMORY;
    }
    BITMAPINFOHEADER header{};
    header.biSize = sizeof header;
    header.biWidth = layout.width;
    header.biHeight = layout.height;
    header.biPlanes = 1;
    header.biBitCount = bitCount();
    header.biCompression = profile_.fourcc;
    header.biSizeImage = static_cast<DWORD>(
        (static_cast<uint64_t>(layout.width) * static_cast<uint64_t>(layout.height) *
             header.biBitCount + 7) / 8);
    format_.assign(reinterpret_cast<const uint8_t*>(&header),
                   reinterpret_cast<const uint8_t*>(&header) + sizeof header);
    layout_ = layout;
    input_ = input;
    rate_.start(settings_, baseLambda_);
    opened_ = true;
    compressedFormat = format_;
    return AVIERR_OK;
}

HRESULT BlockCodecEncoder::encode(const void* frame, size_t bytes, EncodedSample& out) {
    out = EncodedSample{};
    if (!opened_) {
        return AVIERR_UNSUPPORTED;  // open() has not succeeded
    }
    if (frame == nullptr || bytes != layout_.imageBytes) {
        setFailureReason("a frame of " + std::to_string(bytes) + " bytes where the format has " +
                         std::to_string(layout_.imageBytes));
        return AVIERR_BADSIZE;
    }
    const std::string failed = std::string("the ") + codecName(profile_.kind) +
                               " encoder failed to compress the frame";
    PictureView picture;
    picture.top = layout_.topRow(frame);
    picture.step = layout_.rowStep();
    picture.pixelBytes = layout_.bitsPerPixel / 8;
    picture.width = layout_.width;
    picture.height = layout_.height;
    bool keyFrame = framesEncoded_ == 0 || sinceKey_ >= keyInterval_;
    bool compressed = false;
    try {
        compressed = compress(picture, rate_.lambda(), keyFrame, sample_);
    } catch (const std::bad_alloc&) {
        setFailureReason("out of memory");
        return AVIERR_MEMORY;
    }
    if (!compressed || codecFailing()) {
        // The codec's idea of the reader's picture now holds a frame that
        // never reached the stream: the next one starts afresh.
        sinceKey_ = keyInterval_;
        setFailureReason(failed);
        return AVIERR_COMPRESSOR;
    }
    rate_.frameDone(sample_.size());
    ++framesEncoded_;
    sinceKey_ = keyFrame ? 1 : sinceKey_ + 1;
    out.data = sample_.data();
    out.size = sample_.size();
    out.keyFrame = keyFrame;
    return AVIERR_OK;
}

}  // namespace avifile::codecs
