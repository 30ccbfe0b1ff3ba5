// Image decoding through libavformat / libavcodec, with libswscale turning
// the decoded pixels into planar G, B, R samples.
#include "image_frames.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

#include <cstring>

namespace {

std::string describe(int status) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(status, text, sizeof text);
    return text;
}

// Owns what one decode opened and closes it on every way out.
struct DecodeSession {
    AVFormatContext* format = nullptr;
    AVCodecContext* codec = nullptr;
    AVPacket* packet = nullptr;
    AVFrame* decoded = nullptr;
    AVFrame* planar = nullptr;
    SwsContext* scaler = nullptr;

    ~DecodeSession() {
        sws_freeContext(scaler);
        av_frame_free(&planar);
        av_frame_free(&decoded);
        av_packet_free(&packet);
        avcodec_free_context(&codec);
        avformat_close_input(&format);
    }
};

bool openDecoder(const std::string& path, DecodeSession& session, int& streamIndex,
                 std::string& error) {
    int status = avformat_open_input(&session.format, path.c_str(), nullptr, nullptr);
    if (status < 0) {
        error = "cannot open image " + path + ": " + describe(status);
        return false;
    }
    status = avformat_find_stream_info(session.format, nullptr);
    if (status < 0) {
        error = "cannot read image " + path + ": " + describe(status);
        return false;
    }
    const AVCodec* decoder = nullptr;
    streamIndex = av_find_best_stream(session.format, AVMEDIA_TYPE_VIDEO, -1, -1, &decoder, 0);
    if (streamIndex < 0 || decoder == nullptr) {
        error = "no picture in " + path;
        return false;
    }
    session.codec = avcodec_alloc_context3(decoder);
    if (session.codec == nullptr ||
        avcodec_parameters_to_context(session.codec,
                                      session.format->streams[streamIndex]->codecpar) < 0 ||
        (status = avcodec_open2(session.codec, decoder, nullptr)) < 0) {
        error = "cannot decode image " + path;
        return false;
    }
    session.packet = av_packet_alloc();
    session.decoded = av_frame_alloc();
    session.planar = av_frame_alloc();
    if (session.packet == nullptr || session.decoded == nullptr || session.planar == nullptr) {
        error = "out of memory decoding " + path;
        return false;
    }
    return true;
}

// Decodes until the first picture comes out.
bool decodeFirstPicture(const std::string& path, DecodeSession& session, int streamIndex,
                        std::string& error) {
    bool flushed = false;
    while (true) {
        const int received = avcodec_receive_frame(session.codec, session.decoded);
        if (received == 0) {
            return true;
        }
        if (received != AVERROR(EAGAIN) || flushed) {
            error = "cannot decode image " + path + ": " + describe(received);
            return false;
        }
        const int read = av_read_frame(session.format, session.packet);
        if (read < 0) {
            avcodec_send_packet(session.codec, nullptr);
            flushed = true;
            continue;
        }
        if (session.packet->stream_index == streamIndex) {
            const int sent = avcodec_send_packet(session.codec, session.packet);
            if (sent < 0 && sent != AVERROR(EAGAIN)) {
                av_packet_unref(session.packet);
                error = "cannot decode image " + path + ": " + describe(sent);
                return false;
            }
        }
        av_packet_unref(session.packet);
    }
}

// Converts the decoded picture to planar G, B, R and copies the planes out
// without the library's row padding.
bool toPlanes(const std::string& path, DecodeSession& session, PlanarFrame& frame,
              std::string& error) {
    const AVFrame* in = session.decoded;
    session.scaler = sws_getContext(in->width, in->height, static_cast<AVPixelFormat>(in->format),
                                    in->width, in->height, AV_PIX_FMT_GBRP,
                                    SWS_POINT | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT, nullptr,
                                    nullptr, nullptr);
    session.planar->format = AV_PIX_FMT_GBRP;
    session.planar->width = in->width;
    session.planar->height = in->height;
    if (session.scaler == nullptr || av_frame_get_buffer(session.planar, 0) < 0) {
        error = "cannot convert the pixels of " + path;
        return false;
    }
    sws_scale(session.scaler, in->data, in->linesize, 0, in->height, session.planar->data,
              session.planar->linesize);
    frame.resize(in->width, in->height);
    // GBRP keeps green in plane 0, blue in plane 1 and red in plane 2.
    std::vector<uint8_t>* planes[3] = {&frame.green, &frame.blue, &frame.red};
    for (int plane = 0; plane < 3; ++plane) {
        for (int y = 0; y < in->height; ++y) {
            std::memcpy(planes[plane]->data() + static_cast<size_t>(y) * in->width,
                        session.planar->data[plane] +
                            static_cast<ptrdiff_t>(y) * session.planar->linesize[plane],
                        static_cast<size_t>(in->width));
        }
    }
    return true;
}

class ImageFrameSource : public FrameSource {
public:
    ImageFrameSource(std::vector<std::string> paths, PlanarFrame first)
        : paths_(std::move(paths)), first_(std::move(first)) {}
    int width() const override { return first_.width; }
    int height() const override { return first_.height; }
    int frameCount() const override { return static_cast<int>(paths_.size()); }

    bool read(int index, PlanarFrame& frame, std::string& error) override {
        if (index == 0) {
            frame = first_;
            return true;
        }
        const std::string& path = paths_[static_cast<size_t>(index)];
        if (!decodeImage(path, frame, error)) {
            return false;
        }
        if (frame.width != first_.width || frame.height != first_.height) {
            error = "image " + path + " is " + std::to_string(frame.width) + "x" +
                    std::to_string(frame.height) + ", but the first image is " +
                    std::to_string(first_.width) + "x" + std::to_string(first_.height);
            return false;
        }
        return true;
    }

private:
    std::vector<std::string> paths_;
    PlanarFrame first_;
};

}  // namespace

bool decodeImage(const std::string& path, PlanarFrame& frame, std::string& error) {
    DecodeSession session;
    int streamIndex = -1;
    return openDecoder(path, session, streamIndex, error) &&
           decodeFirstPicture(path, session, streamIndex, error) &&
           toPlanes(path, session, frame, error);
}

std::unique_ptr<FrameSource> openImageFrames(const std::vector<std::string>& paths,
                                             std::string& error) {
    PlanarFrame first;
    if (paths.empty() || !decodeImage(paths.front(), first, error)) {
        if (paths.empty()) {
            error = "no image files given";
        }
        return nullptr;
    }
    return std::make_unique<ImageFrameSource>(paths, std::move(first));
}
