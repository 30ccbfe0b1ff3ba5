// The encoder behind every compressor other than Full Frames: libavcodec
// encoders opened for the stream's frame size, producing one sample for
// each frame they are given. Most codecs run as one encoder on the whole
// frame; Cinepak and Video 1, whose encoders have no threads of their own,
// run one per horizontal band at once (see cinepak_bands.h, video1_bands.h).
#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/cpu.h>
#include <libavutil/dict.h>
#include <libavutil/log.h>
#include <libavutil/rational.h>
}

#include "api/failure_reason.h"
#include "codecs/block_codec.h"
#include "codecs/cinepak_bands.h"
#include "codecs/codec_failure.h"
#include "codecs/video1_bands.h"
#include "codecs/codec_options.h"
#include "codecs/codec_table.h"
#include "codecs/compressed_format.h"
#include "codecs/dib_layout.h"
#include "codecs/encoder.h"
#include "codecs/dib_picture_adapter.h"
#include "codecs/mpeg4_colours.h"
#include "codecs/size_rules.h"
#include "codecs/yuv_colours.h"

namespace avifile::codecs {
namespace {

// One encoder and the part of the picture it compresses.
struct BandEncoder {
    Band band{};
    AVCodecContext* codec = nullptr;
    AVPacket* packet = nullptr;
    AVFrame* view = nullptr;  // the band's rows of the picture (banded only)
    int status = 0;           // of the last frame: 0, or a libavcodec error

    ~BandEncoder() {
        avcodec_free_context(&codec);
        av_packet_free(&packet);
        av_frame_free(&view);
    }

    // Compresses `picture` (or, with a view, the band's rows of it).
    void encode(AVFrame* picture) {
        av_packet_unref(packet);
        AVFrame* given = picture;
        if (view != nullptr) {
            status = av_frame_ref(view, picture);
            if (status < 0) {
                return;
            }
            view->data[0] += static_cast<ptrdiff_t>(band.top) * view->linesize[0];
            view->height = band.rows;
            given = view;
        }
        status = avcodec_send_frame(codec, given);
        if (view != nullptr) {
            av_frame_unref(view);
        }
        // Set up without delay, the codec has the sample ready now; a codec
        // that held frames back would break "sample p is frame p".
        if (status >= 0) {
            status = avcodec_receive_packet(codec, packet);
        }
    }
};

class LibavEncoder final : public Encoder {
public:
    LibavEncoder(const CodecProfile& profile, const EncoderSettings& settings)
        : profile_(profile), settings_(settings) {}

    HRESULT open(const BITMAPINFOHEADER& input, std::vector<uint8_t>& compressedFormatOut) override;
    HRESULT encode(const void* frame, size_t bytes, EncodedSample& out) override;

private:
    // The key-frame interval of a banded encoder, which it keeps by
    // starting a band over (see encode()).
    int64_t bandKeyInterval() const {
        return profile_.kind == CodecKind::Cinepak ? cinepakKeyInterval(settings_)
                                                   : video1KeyInterval(settings_);
    }

    HRESULT start(const DibLayout& layout);
    HRESULT openBand(BandEncoder& band, int width, bool banded);
    HRESULT restartBand(BandEncoder& band);


    const CodecProfile& profile_;
    EncoderSettings settings_;
    std::vector<std::unique_ptr<BandEncoder>> bands_;
    DibPictureAdapter pictures_;
    DibLayout layout_;
    BITMAPINFOHEADER input_{};
    std::vector<uint8_t> format_;
    YuvColours colours_;
    std::vector<uint8_t> joined_;  // the joined frame of a banded encoder, or a rewritten sample
    int64_t framesEncoded_ = 0;
    int frameQuality_ = 0;
};

HRESULT LibavEncoder::openBand(BandEncoder& band, int width, bool banded) {
    const AVCodec* encoder = avcodec_find_encoder_by_name(profile_.encoderName);
    if (encoder == nullptr) {
        return AVIERR_NOCOMPRESSOR;
    }
    band.codec = avcodec_alloc_context3(encoder);
    band.packet = av_packet_alloc();
    band.view = banded ? av_frame_alloc() : nullptr;
    if (band.codec == nullptr || band.packet == nullptr || (banded && band.view == nullptr)) {
        return AVIERR_MEMORY;
    }
    AVCodecContext* codec = band.codec;
    codec->width = width;
    codec->height = band.band.rows;
    codec->pix_fmt = encoderPixelFormat(profile_.kind, layout_.bitsPerPixel);
    int rate = 15;
    int scale = 1;
    if (settings_.rate != 0 && settings_.scale != 0) {
        av_reduce(&rate, &scale, settings_.rate, settings_.scale, INT_MAX);
    }
    codec->time_base = AVRational{scale, rate};
    codec->framerate = AVRational{rate, scale};
    codec->sample_aspect_ratio = AVRational{1, 1};
    describeColours(*codec, colours_);

    AVDictionary* options = nullptr;
    for (const CodecOption& option : encoderOptions(profile_, settings_, width, band.band.rows)) {
        av_dict_set(&options, option.name.c_str(), option.value.c_str(), 0);
    }
    if (banded && profile_.kind == CodecKind::Cinepak) {
        // One strip per band: the frame has as many strips as bands.
        av_dict_set(&options, "min_strips", "1", 0);
        av_dict_set(&options, "max_strips", "1", 0);
    }
    // The refusal that the caller reports as a bad format: the codec itself
    // cannot compress frames of this size (or this depth).
    const int opened = avcodec_open2(codec, encoder, &options);
    const int unused = av_dict_count(options);
    av_dict_free(&options);
    if (opened == AVERROR(ENOMEM)) {
        setFailureReason("out of memory");
        return AVIERR_MEMORY;
    }
    if (opened < 0) {
        setFailureReason(std::string("the ") + codecName(profile_.kind) +
                             " encoder refused frames of " + std::to_string(width) + "x" +
                             std::to_string(layout_.height),
                         false);
        return AVIERR_BADFORMAT;
    }
    return unused == 0 ? AVIERR_OK : AVIERR_INTERNAL;  // an option this library lacks
}

HRESULT LibavEncoder::restartBand(BandEncoder& band) {
    avcodec_free_context(&band.codec);
    av_packet_free(&band.packet);
    av_frame_free(&band.view);
    return openBand(band, layout_.width, true);
}

HRESULT LibavEncoder::start(const DibLayout& layout) {
    layout_ = layout;
    colours_ = yuvColours(profile_.kind, layout.height);
    int count = 1;
    if (profile_.kind == CodecKind::Cinepak) {
        count = cinepakBands(layout.height, av_cpu_count());
    } else if (profile_.kind == CodecKind::Video1) {
        count = video1Bands(layout.height, av_cpu_count());
    }
    for (const Band& band : splitIntoBands(layout.height, count)) {
        bands_.push_back(std::make_unique<BandEncoder>());
        bands_.back()->band = band;
        const HRESULT opened = openBand(*bands_.back(), layout.width, count > 1);
        if (opened != AVIERR_OK) {
            return opened;
        }
    }
    const AVPixelFormat target = encoderPixelFormat(profile_.kind, layout.bitsPerPixel);
    if (!pictures_.prepare(layout, target, colours_)) {
        return AVIERR_MEMORY;
    }
    frameQuality_ = frameQuality(profile_, settings_);
    format_ = compressedFormat(*bands_.front()->codec, profile_.fourcc, layout.width,
                               layout.height);
    return AVIERR_OK;
}

HRESULT LibavEncoder::open(const BITMAPINFOHEADER& input,
                           std::vector<uint8_t>& compressedFormatOut) {
    DibLayout layout;
    if (!acceptInputFormat(profile_, settings_, input, layout)) {
        return AVIERR_BADFORMAT;
    }
    if (!bands_.empty() && std::memcmp(&input, &input_, sizeof input) == 0) {
        compressedFormatOut = format_;
        return AVIERR_OK;  // the same format again
    }
    if (framesEncoded_ != 0) {
        return AVIERR_UNSUPPORTED;  // no format changes once frames went out
    }
    bands_.clear();
    const HRESULT started = start(layout);
    if (started != AVIERR_OK) {
        bands_.clear();
        return started;
    }
    input_ = input;
    compressedFormatOut = format_;
    return AVIERR_OK;
}

HRESULT LibavEncoder::encode(const void* frame, size_t bytes, EncodedSample& out) {
    out = EncodedSample{};
    if (bands_.empty()) {
        return AVIERR_UNSUPPORTED;  // open() has not succeeded
    }
    if (frame == nullptr || bytes != layout_.imageBytes) {
        setFailureReason("a frame of " + std::to_string(bytes) + " bytes where the format has " +
                         std::to_string(layout_.imageBytes));
        return AVIERR_BADSIZE;
    }
    AVFrame* picture = pictures_.picture(frame);
    if (picture == nullptr) {
        return AVIERR_MEMORY;
    }
    picture->pts = framesEncoded_;
    picture->quality = frameQuality_;
    picture->pict_type = AV_PICTURE_TYPE_NONE;

    // Every band but the first on a thread of its own, the first on this one.
    std::vector<std::thread> helpers;
    for (size_t i = 1; i < bands_.size(); ++i) {
        BandEncoder* band = bands_[i].get();
        try {
            helpers.emplace_back([band, picture] { band->encode(picture); });
        } catch (const std::system_error&) {
            band->encode(picture);  // no thread to be had: this one does it
        }
    }
    bands_.front()->encode(picture);
    for (std::thread& helper : helpers) {
        helper.join();
    }
    const std::string failed = std::string("the ") + codecName(profile_.kind) +
                               " encoder failed to compress the frame";
    if (codecFailing()) {
        setFailureReason(failed);
        return AVIERR_COMPRESSOR;  // as if the codec failed with the frame taken in
    }
    bool keyFrame = true;
    for (auto& band : bands_) {
        if (band->status < 0) {
            setFailureReason(failed);
            return AVIERR_COMPRESSOR;
        }
        const bool bandKey = (band->packet->flags & AV_PKT_FLAG_KEY) != 0;
        if (!bandKey && bands_.size() > 1 && framesEncoded_ % bandKeyInterval() == 0) {
            // Each band's encoder also makes key frames of its own accord,
            // which moves its count to the next one; the bands then no longer
            // agree, and a frame is only a key frame when all its strips
            // are. A fresh encoder's first frame is a key frame: the band
            // starts over, so the interval holds for the whole frame.
            const HRESULT reopened = restartBand(*band);
            if (reopened != AVIERR_OK) {
                return reopened;
            }
            band->encode(picture);
            if (band->status < 0 || (band->packet->flags & AV_PKT_FLAG_KEY) == 0) {
                setFailureReason(failed);
                return AVIERR_COMPRESSOR;
            }
            continue;
        }
        keyFrame = keyFrame && bandKey;
    }
    if (pictures_.direct()) {
        av_frame_unref(picture);  // the caller's bytes are lent for this call only
    }
    ++framesEncoded_;
    if (bands_.size() == 1) {
        const AVPacket* packet = bands_.front()->packet;
        out.data = packet->data;
        out.size = static_cast<size_t>(packet->size);
        out.keyFrame = keyFrame;
        if (profile_.kind == CodecKind::Mpeg4Part2 &&
            describeMpeg4Colours(std::span<const uint8_t>(packet->data, out.size), colours_,
                                 joined_)) {
            out.data = joined_.data();
            out.size = joined_.size();
        }
        return AVIERR_OK;
    }
    std::vector<std::span<const uint8_t>> parts;
    for (const auto& band : bands_) {
        parts.emplace_back(band->packet->data, static_cast<size_t>(band->packet->size));
    }
    bool joined = false;
    if (profile_.kind == CodecKind::Cinepak) {
        joined = joinCinepakFrames(parts, keyFrame, layout_.width, layout_.height, joined_);
    } else {
        std::reverse(parts.begin(), parts.end());  // Video 1 starts at the bottom
        joined = joinVideo1Frames(parts, joined_);
    }
    if (!joined) {
        setFailureReason(failed);
        return AVIERR_COMPRESSOR;
    }
    out.data = joined_.data();
    out.size = joined_.size();
    out.keyFrame = keyFrame;
    return AVIERR_OK;
}

}  // namespace

HRESULT createEncoder(const EncoderSettings& settings, std::unique_ptr<Encoder>& encoder) {
    encoder.reset();
    const CodecProfile* profile = findProfile(settings.fourcc);
    if (profile == nullptr || profile->encoderName == nullptr) {
        return AVIERR_NOCOMPRESSOR;  // unknown, not installed, or Full Frames
    }
    quietCodecLibraries();
    encoder = createBlockEncoder(*profile, settings);
    if (encoder == nullptr) {
        encoder = std::make_unique<LibavEncoder>(*profile, settings);
    }
    return AVIERR_OK;
}

void quietCodecLibraries() {
    static std::once_flag once;
    std::call_once(once, [] {
        if (std::getenv("AVIFILE_CODEC_LOG") == nullptr) {
            av_log_set_level(AV_LOG_QUIET);
        }
    });
}

}  // namespace avifile::codecs
