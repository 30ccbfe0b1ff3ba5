#include "recording.h"

#include <cstring>
#include <memory>

#include "container/avi_writer.h"
#include "riff/byte_sink.h"

using avifile::codecs::EncodedSample;
using avifile::codecs::Encoder;
using avifile::codecs::EncoderSettings;

Recording record(const avifile::codecs::EncoderSettings& settings, const TestPicture& picture,
                 int frames, const std::string& path) {
    return record(settings, picture, frames, [&picture](int i) { return picture.frame(i); }, path);
}

Recording record(const avifile::codecs::EncoderSettings& settings, const TestPicture& picture,
                 int frames, const std::function<std::vector<uint8_t>(int)>& frameAt,
                 const std::string& path) {
    Recording result;
    std::unique_ptr<Encoder> encoder;
    result.created = avifile::codecs::createEncoder(settings, encoder);
    if (result.created != AVIERR_OK) {
        return result;
    }
    result.opened = encoder->open(picture.header(), result.format);
    if (result.opened != AVIERR_OK) {
        return result;
    }
    auto sink = avifile::createFileSink(path.c_str());
    if (!sink) {
        return result;
    }
    avifile::AviWriter writer(std::move(sink), avifile::ContainerSettings{});
    AVISTREAMINFOA info{};
    info.fccType = streamtypeVIDEO;
    info.fccHandler = settings.fourcc;
    info.dwScale = settings.scale;
    info.dwRate = settings.rate;
    info.dwQuality = settings.quality;
    info.rcFrame = RECT{0, 0, picture.width, picture.height};
    const int stream = writer.addStream(info);
    bool written = writer.setFormat(stream, result.format.data(), result.format.size()) == AVIERR_OK;
    for (int i = 0; i < frames; ++i) {
        const std::vector<uint8_t> frame = frameAt(i);
        EncodedSample sample;
        const HRESULT status = encoder->encode(frame.data(), frame.size(), sample);
        result.encoded.push_back(status);
        if (status != AVIERR_OK) {
            continue;
        }
        result.keyFrames.push_back(sample.keyFrame);
        result.sampleBytes.push_back(sample.size);
        written = written &&
                  writer.writeSample(stream, sample.data, sample.size, sample.keyFrame) == AVIERR_OK;
    }
    result.written = writer.finish() == AVIERR_OK && written;
    return result;
}

BITMAPINFOHEADER formatHeader(const std::vector<uint8_t>& format) {
    BITMAPINFOHEADER header{};
    if (format.size() >= sizeof header) {
        std::memcpy(&header, format.data(), sizeof header);
    }
    return header;
}

std::string fourccText(uint32_t fourcc) {
    std::string text;
    for (int shift = 0; shift < 32; shift += 8) {
        text += static_cast<char>((fourcc >> shift) & 0xFF);
    }
    return text;
}
