#include "decoded_movie.h"

#include <fstream>
#include <iterator>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/log.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include "support/ffmpeg_tools.h"

namespace {

struct Resources {
    AVFormatContext* format = nullptr;
    AVCodecContext* codec = nullptr;
    AVPacket* packet = nullptr;
    AVFrame* frame = nullptr;
    AVFrame* rgb = nullptr;
    SwsContext* scaler = nullptr;

    ~Resources() {
        sws_freeContext(scaler);
        av_frame_free(&rgb);
        av_frame_free(&frame);
        av_packet_free(&packet);
        avcodec_free_context(&codec);
        avformat_close_input(&format);
    }
};

std::string errorText(const char* what, int status) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(status, text, sizeof text);
    return std::string(what) + ": " + text;
}

// Makes the scaler read a YUV frame with the matrix and range the stream
// gives, and BT.601 where it gives none, as the ffmpeg command line does.
bool followColourTags(SwsContext* scaler, const AVFrame* frame) {
    const AVPixFmtDescriptor* descriptor =
        av_pix_fmt_desc_get(static_cast<AVPixelFormat>(frame->format));
    if (descriptor == nullptr || descriptor->nb_components < 3 ||
        (descriptor->flags & (AV_PIX_FMT_FLAG_RGB | AV_PIX_FMT_FLAG_PAL)) != 0) {
        return true;
    }
    const bool fullRange = frame->color_range == AVCOL_RANGE_JPEG ||
                           std::string(descriptor->name).starts_with("yuvj");
    const int matrix =
        frame->colorspace == AVCOL_SPC_UNSPECIFIED ? SWS_CS_DEFAULT : frame->colorspace;
    return sws_setColorspaceDetails(scaler, sws_getCoefficients(matrix), fullRange ? 1 : 0,
                                    sws_getCoefficients(SWS_CS_DEFAULT), 1, 0, 1 << 16,
                                    1 << 16) >= 0;
}

// Converts the decoded frame to packed RGB (exactly, for 8-bit RGB frames).
bool keepFrame(Resources& r, DecodedMovie& movie) {
    const auto format = static_cast<AVPixelFormat>(r.frame->format);
    r.scaler = sws_getCachedContext(r.scaler, r.frame->width, r.frame->height, format,
                                    r.frame->width, r.frame->height, AV_PIX_FMT_RGB24,
                                    SWS_POINT | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT, nullptr,
                                    nullptr, nullptr);
    if (r.scaler != nullptr && !followColourTags(r.scaler, r.frame)) {
        movie.error = "cannot read the frame's colours";
        return false;
    }
    av_frame_unref(r.rgb);
    r.rgb->format = AV_PIX_FMT_RGB24;
    r.rgb->width = r.frame->width;
    r.rgb->height = r.frame->height;
    if (r.scaler == nullptr || av_frame_get_buffer(r.rgb, 0) < 0 ||
        sws_scale_frame(r.scaler, r.rgb, r.frame) < 0) {
        movie.error = "cannot convert a decoded frame";
        return false;
    }
    std::vector<uint8_t> packed;
    const size_t rowBytes = static_cast<size_t>(r.rgb->width) * 3;
    packed.reserve(rowBytes * static_cast<size_t>(r.rgb->height));
    for (int y = 0; y < r.rgb->height; ++y) {
        const uint8_t* row = r.rgb->data[0] + static_cast<ptrdiff_t>(y) * r.rgb->linesize[0];
        packed.insert(packed.end(), row, row + rowBytes);
    }
    if (r.frame->width != movie.width || r.frame->height != movie.height) {
        movie.error = "a frame of " + std::to_string(r.frame->width) + "x" +
                      std::to_string(r.frame->height);
        return false;
    }
    movie.frames.push_back(std::move(packed));
    return true;
}

// Takes every frame the decoder has ready.
bool drain(Resources& r, DecodedMovie& movie) {
    for (;;) {
        const int status = avcodec_receive_frame(r.codec, r.frame);
        if (status == AVERROR(EAGAIN) || status == AVERROR_EOF) {
            return true;
        }
        if (status < 0) {
            movie.error = errorText("decoding", status);
            return false;
        }
        const bool kept = keepFrame(r, movie);
        av_frame_unref(r.frame);
        if (!kept) {
            return false;
        }
    }
}

}  // namespace

DecodedMovie decodeMovie(const std::string& path) {
    av_log_set_level(AV_LOG_QUIET);
    DecodedMovie movie;
    Resources r;
    if (const int status = avformat_open_input(&r.format, path.c_str(), nullptr, nullptr); status < 0) {
        movie.error = errorText("opening", status);
        return movie;
    }
    if (const int status = avformat_find_stream_info(r.format, nullptr); status < 0) {
        movie.error = errorText("reading the stream info", status);
        return movie;
    }
    const int stream = av_find_best_stream(r.format, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (stream < 0) {
        movie.error = "no video stream";
        return movie;
    }
    const AVCodecParameters* parameters = r.format->streams[stream]->codecpar;
    movie.width = parameters->width;
    movie.height = parameters->height;
    const AVCodec* decoder = avcodec_find_decoder(parameters->codec_id);
    r.codec = decoder != nullptr ? avcodec_alloc_context3(decoder) : nullptr;
    r.packet = av_packet_alloc();
    r.frame = av_frame_alloc();
    r.rgb = av_frame_alloc();
    if (r.codec == nullptr || r.packet == nullptr || r.frame == nullptr || r.rgb == nullptr ||
        avcodec_parameters_to_context(r.codec, parameters) < 0) {
        movie.error = "no decoder";
        return movie;
    }
    r.codec->thread_count = 1;
    if (const int status = avcodec_open2(r.codec, decoder, nullptr); status < 0) {
        movie.error = errorText("opening the decoder", status);
        return movie;
    }
    while (av_read_frame(r.format, r.packet) >= 0) {
        if (r.packet->stream_index == stream) {
            const int status = avcodec_send_packet(r.codec, r.packet);
            av_packet_unref(r.packet);
            if (status < 0) {
                movie.error = errorText("decoding", status);
                return movie;
            }
            if (!drain(r, movie)) {
                return movie;
            }
        } else {
            av_packet_unref(r.packet);
        }
    }
    avcodec_send_packet(r.codec, nullptr);
    drain(r, movie);
    return movie;
}

GStreamerMovie decodeWithGStreamer(const std::string& path, int width, int height) {
    GStreamerMovie movie;
    if (runCommand("command -v gst-launch-1.0 >/dev/null 2>&1") != 0) {
        movie.missing = "gst-launch-1.0 is not installed";
        return movie;
    }
    const std::string rgb = path + ".rgb";
    std::string output;
    const int status = runCommand(
        "gst-launch-1.0 filesrc location=" + shellQuote(path) +
            " ! decodebin ! videoconvert ! video/x-raw,format=RGB ! filesink location=" +
            shellQuote(rgb) + " 2>&1",
        &output);
    if (status != 0) {
        if (output.find("Missing decoder") != std::string::npos ||
            output.find("no suitable plugins") != std::string::npos) {
            movie.missing = "GStreamer has no decoder for it";
        } else {
            movie.error = "gst-launch-1.0 failed: " + output;
        }
        return movie;
    }
    std::ifstream file(rgb, std::ios::binary);
    const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(file),
                                     std::istreambuf_iterator<char>()};
    // GStreamer pads each row to four bytes.
    const size_t rowBytes = static_cast<size_t>(width) * 3;
    const size_t stride = (rowBytes + 3) & ~size_t{3};
    const size_t frameBytes = stride * static_cast<size_t>(height);
    if (frameBytes == 0 || bytes.size() % frameBytes != 0) {
        movie.error = "GStreamer gave " + std::to_string(bytes.size()) + " bytes of frames";
        return movie;
    }
    for (size_t at = 0; at < bytes.size(); at += frameBytes) {
        std::vector<uint8_t> packed;
        packed.reserve(rowBytes * static_cast<size_t>(height));
        for (size_t row = at; row < at + frameBytes; row += stride) {
            packed.insert(packed.end(), bytes.begin() + static_cast<ptrdiff_t>(row),
                          bytes.begin() + static_cast<ptrdiff_t>(row + rowBytes));
        }
        movie.frames.push_back(std::move(packed));
    }
    return movie;
}
