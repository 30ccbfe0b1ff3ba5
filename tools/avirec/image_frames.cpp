// Decoding through libavformat / libavcodec, with libswscale turning the
// decoded pixels into planar G, B, R samples.
#include "image_frames.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
#include <libswscale/swscale.h>
}

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <utility>

#include "stop_signal.h"

namespace {

std::string describe(int status) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(status, text, sizeof text);
    return text;
}

// What the libraries' decoders and demuxers say of a damaged input (a
// truncated image, a header out of range) while they go on and hand out a
// picture anyway: the first such error is kept, so that the input fails with
// it instead of being recorded as it came out. Errors are logged from the
// decoders' own threads too.
std::mutex gComplaintLock;
std::string gComplaint;

// Whether a log line comes from a decoder or a demuxer, or from a helper
// they called (which names them as its parent).
bool isDecoding(void* context) {
    for (int depth = 0; context != nullptr && depth < 4; ++depth) {
        const AVClass* kind = *static_cast<AVClass**>(context);
        if (kind == nullptr) {
            return false;
        }
        const AVClassCategory category =
            kind->get_category != nullptr ? kind->get_category(context) : kind->category;
        if (category == AV_CLASS_CATEGORY_DECODER || category == AV_CLASS_CATEGORY_DEMUXER) {
            return true;
        }
        if (kind->parent_log_context_offset == 0) {
            return false;
        }
        context = *reinterpret_cast<void**>(static_cast<uint8_t*>(context) +
                                            kind->parent_log_context_offset);
    }
    return false;
}

void keepComplaints(void* context, int level, const char* format, va_list arguments) {
    if (level > AV_LOG_ERROR || !isDecoding(context)) {
        av_log_default_callback(context, level, format, arguments);
        return;
    }
    char line[256];
    va_list copy;
    va_copy(copy, arguments);
    std::vsnprintf(line, sizeof line, format, copy);
    va_end(copy);
    std::string text = line;
    while (!text.empty() && (text.back() == '\n' || text.back() == '.')) {
        text.pop_back();
    }
    std::lock_guard<std::mutex> lock(gComplaintLock);
    if (gComplaint.empty()) {
        gComplaint = text;  // avirec's own message says it
    }
}

// The complaint kept since the last call, emptied.
std::string takeComplaint() {
    std::lock_guard<std::mutex> lock(gComplaintLock);
    return std::exchange(gComplaint, std::string());
}

// Ends a wait of the libraries for input once a stop was asked for.
int interruptWhenStopped(void* /*unused*/) { return stopRequested() ? 1 : 0; }

// Owns what one input opened and closes it on every way out.
struct DecodeSession {
    AVFormatContext* format = nullptr;
    AVCodecContext* codec = nullptr;
    AVPacket* packet = nullptr;
    AVFrame* decoded = nullptr;
    int stream = -1;
    bool flushed = false;

    DecodeSession() = default;
    DecodeSession(const DecodeSession&) = delete;
    DecodeSession& operator=(const DecodeSession&) = delete;
    ~DecodeSession() {
        av_frame_free(&decoded);
        av_packet_free(&packet);
        avcodec_free_context(&codec);
        avformat_close_input(&format);
    }
};

// The name of an input in messages.
std::string inputName(const std::string& path) {
    return path == "-" ? std::string("standard input") : "image " + path;
}

// The libraries would open a FIFO and wait for a writer, or read a device
// such as /dev/zero without end: only regular files and standard input are
// handed to them.
bool isReadable(const std::string& path, std::string& error) {
    if (path == "-") {
        if (isatty(STDIN_FILENO) == 1) {
            error = "standard input is a terminal: pipe the frames into avirec";
            return false;
        }
        return true;
    }
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        error = "cannot open image " + path + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISREG(info.st_mode)) {
        error = "image " + path + " is not a regular file";
        return false;
    }
    return true;
}

bool openDecoder(const std::string& path, DecodeSession& session, std::string& error) {
    if (!isReadable(path, error)) {
        return false;
    }
    takeComplaint();
    const std::string name = inputName(path);
    session.format = avformat_alloc_context();
    if (session.format == nullptr) {
        error = "out of memory opening " + name;
        return false;
    }
    session.format->interrupt_callback.callback = interruptWhenStopped;
    int status = avformat_open_input(&session.format, path == "-" ? "pipe:0" : path.c_str(),
                                     nullptr, nullptr);
    if (status < 0) {
        error = "cannot open " + name + ": " + describe(status);
        return false;
    }
    status = avformat_find_stream_info(session.format, nullptr);
    if (const std::string complaint = takeComplaint(); !complaint.empty() || status < 0) {
        error = complaint.empty() ? "cannot read " + name + ": " + describe(status)
                                  : name + " is damaged: " + complaint;
        return false;
    }
    const AVCodec* decoder = nullptr;
    session.stream = av_find_best_stream(session.format, AVMEDIA_TYPE_VIDEO, -1, -1, &decoder, 0);
    if (session.stream < 0 || decoder == nullptr) {
        error = "no picture in " + (path == "-" ? std::string("standard input") : path);
        return false;
    }
    session.codec = avcodec_alloc_context3(decoder);
    if (session.codec == nullptr ||
        avcodec_parameters_to_context(session.codec,
                                      session.format->streams[session.stream]->codecpar) < 0 ||
        (status = avcodec_open2(session.codec, decoder, nullptr)) < 0) {
        error = "cannot decode " + name;
        return false;
    }
    session.packet = av_packet_alloc();
    session.decoded = av_frame_alloc();
    if (session.packet == nullptr || session.decoded == nullptr) {
        error = "out of memory decoding " + name;
        return false;
    }
    return true;
}

// Decodes the input's next picture into session.decoded.
ReadStatus decodeOrComplain(const std::string& path, DecodeSession& session, std::string& error);

// The same, failing the input when a decoder complained on the way: the
// picture it gave is damaged, and so is a stream that ended in one.
ReadStatus decodeNext(const std::string& path, DecodeSession& session, std::string& error) {
    const ReadStatus status = decodeOrComplain(path, session, error);
    const std::string complaint = takeComplaint();
    if (complaint.empty() || status == ReadStatus::Interrupted) {
        return status;
    }
    error = inputName(path) + " is damaged: " + complaint;
    return ReadStatus::Failed;
}

ReadStatus decodeOrComplain(const std::string& path, DecodeSession& session, std::string& error) {
    while (true) {
        const int received = avcodec_receive_frame(session.codec, session.decoded);
        if (received == 0) {
            return ReadStatus::Frame;
        }
        if (received == AVERROR_EOF) {
            return ReadStatus::End;
        }
        if (received != AVERROR(EAGAIN)) {
            error = "cannot decode " + inputName(path) + ": " + describe(received);
            return ReadStatus::Failed;
        }
        const int read = av_read_frame(session.format, session.packet);
        if (read == AVERROR_EXIT && stopRequested()) {
            return ReadStatus::Interrupted;
        }
        if (read < 0) {
            // The end, or a damaged rest: what was decoded so far is kept.
            if (read != AVERROR_EOF) {
                error = "cannot read " + inputName(path) + ": " + describe(read);
                return ReadStatus::Failed;
            }
            if (session.flushed) {
                return ReadStatus::End;
            }
            avcodec_send_packet(session.codec, nullptr);
            session.flushed = true;
            continue;
        }
        if (session.packet->stream_index == session.stream) {
            const int sent = avcodec_send_packet(session.codec, session.packet);
            if (sent < 0 && sent != AVERROR(EAGAIN)) {
                av_packet_unref(session.packet);
                error = "cannot decode " + inputName(path) + ": " + describe(sent);
                return ReadStatus::Failed;
            }
        }
        av_packet_unref(session.packet);
    }
}

class DecodedFrameSource : public FrameSource {
public:
    explicit DecodedFrameSource(std::vector<std::string> paths) : paths_(std::move(paths)) {}
    ~DecodedFrameSource() override {
        sws_freeContext(scaler_);
        av_frame_free(&planar_);
    }
    DecodedFrameSource(const DecodedFrameSource&) = delete;
    DecodedFrameSource& operator=(const DecodedFrameSource&) = delete;

    // One frame an input when several are named (a list of images); not
    // known for a single input, which may be a stream.
    int frameCount() const override { return paths_.size() > 1 ? static_cast<int>(paths_.size()) : -1; }
    bool fromStandardInput() const override { return paths_.size() == 1 && paths_[0] == "-"; }

    ReadStatus read(PlanarFrame& frame, std::string& error) override {
        while (next_ <= paths_.size()) {
            if (session_ == nullptr) {
                if (next_ == paths_.size()) {
                    return ReadStatus::End;
                }
                session_ = std::make_unique<DecodeSession>();
                if (!openDecoder(paths_[next_], *session_, error)) {
                    return stopRequested() ? ReadStatus::Interrupted : ReadStatus::Failed;
                }
                ++next_;
            }
            const std::string& path = paths_[next_ - 1];
            const ReadStatus status = decodeNext(path, *session_, error);
            if (status == ReadStatus::End) {
                session_.reset();
                continue;
            }
            if (status != ReadStatus::Frame) {
                return status;
            }
            return convert(path, frame, error) ? ReadStatus::Frame : ReadStatus::Failed;
        }
        return ReadStatus::End;
    }

private:
    // Converts the decoded picture to planar G, B, R and copies the planes
    // out without the library's row padding.
    bool convert(const std::string& path, PlanarFrame& frame, std::string& error) {
        const AVFrame* in = session_->decoded;
        if (!frameFitsMovie(in->width, in->height)) {
            error = inputName(path) + " is " + std::to_string(in->width) + "x" +
                    std::to_string(in->height) + ", larger than a movie frame can be";
            return false;
        }
        if (width_ == 0) {
            width_ = in->width;
            height_ = in->height;
        } else if (in->width != width_ || in->height != height_) {
            error = inputName(path) + " is " + std::to_string(in->width) + "x" +
                    std::to_string(in->height) + ", but the first image is " +
                    std::to_string(width_) + "x" + std::to_string(height_);
            return false;
        }
        scaler_ = sws_getCachedContext(scaler_, in->width, in->height,
                                       static_cast<AVPixelFormat>(in->format), in->width,
                                       in->height, AV_PIX_FMT_GBRP,
                                       SWS_POINT | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT, nullptr,
                                       nullptr, nullptr);
        if (planar_ == nullptr) {
            planar_ = av_frame_alloc();
            if (planar_ != nullptr) {
                planar_->format = AV_PIX_FMT_GBRP;
                planar_->width = in->width;
                planar_->height = in->height;
                if (av_frame_get_buffer(planar_, 0) < 0) {
                    av_frame_free(&planar_);
                }
            }
        }
        if (scaler_ == nullptr || planar_ == nullptr) {
            error = "cannot convert the pixels of " + inputName(path);
            return false;
        }
        sws_scale(scaler_, in->data, in->linesize, 0, in->height, planar_->data,
                  planar_->linesize);
        frame.resize(in->width, in->height);
        // GBRP keeps green in plane 0, blue in plane 1 and red in plane 2.
        std::vector<uint8_t>* planes[3] = {&frame.green, &frame.blue, &frame.red};
        for (int plane = 0; plane < 3; ++plane) {
            for (int y = 0; y < in->height; ++y) {
                std::memcpy(planes[plane]->data() + static_cast<size_t>(y) * in->width,
                            planar_->data[plane] +
                                static_cast<ptrdiff_t>(y) * planar_->linesize[plane],
                            static_cast<size_t>(in->width));
            }
        }
        av_frame_unref(session_->decoded);
        return true;
    }

    std::vector<std::string> paths_;
    size_t next_ = 0;  // the input to open next
    std::unique_ptr<DecodeSession> session_;
    SwsContext* scaler_ = nullptr;
    AVFrame* planar_ = nullptr;
    int width_ = 0;
    int height_ = 0;
};

}  // namespace

std::unique_ptr<FrameSource> openDecodedFrames(const std::vector<std::string>& paths,
                                               std::string& error) {
    if (paths.empty()) {
        error = "no image files given";
        return nullptr;
    }
    av_log_set_callback(keepComplaints);
    return std::make_unique<DecodedFrameSource>(paths);
}
