// What `ffmpeg -rtsp_transport tcp -i URL -map 0:v -c copy` into one
// fragmented MP4 does, through the same libavformat calls, as a program of
// the benchmark's own: it runs where Debian's ffmpeg cannot (the virtual
// device holds the libraries the recorder's plugins link, not the ones the
// ffmpeg program pulls in). One camera per process, as ffmpeg runs; until
// SIGINT or SIGTERM, then the file is finished.
//
// copy_recorder URL FILE
#include <csignal>
#include <cstdio>

extern "C" {
#include <libavformat/avformat.h>
}

namespace {

volatile std::sig_atomic_t stopping = 0;

int Interrupted(void*)
{
    return stopping;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s URL FILE\n", argv[0]);
        return 2;
    }
    struct sigaction stop {};
    stop.sa_handler = [](int) { stopping = 1; };
    sigaction(SIGINT, &stop, nullptr);
    sigaction(SIGTERM, &stop, nullptr);

    AVFormatContext* input = avformat_alloc_context();
    input->interrupt_callback = {Interrupted, nullptr};
    AVDictionary* options = nullptr;
    av_dict_set(&options, "rtsp_transport", "tcp", 0);
    if (avformat_open_input(&input, argv[1], nullptr, &options) < 0 || avformat_find_stream_info(input, nullptr) < 0) {
        std::fprintf(stderr, "copy_recorder: cannot read %s\n", argv[1]);
        return 1;
    }
    av_dict_free(&options);
    const int video = av_find_best_stream(input, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    AVFormatContext* output = nullptr;
    avformat_alloc_output_context2(&output, nullptr, "mp4", argv[2]);
    AVStream* stream = video >= 0 && output != nullptr ? avformat_new_stream(output, nullptr) : nullptr;
    if (stream == nullptr || avcodec_parameters_copy(stream->codecpar, input->streams[video]->codecpar) < 0 ||
        avio_open(&output->pb, argv[2], AVIO_FLAG_WRITE) < 0) {
        std::fprintf(stderr, "copy_recorder: cannot write %s\n", argv[2]);
        return 1;
    }
    stream->codecpar->codec_tag = 0;
    stream->time_base = input->streams[video]->time_base;
    av_dict_set(&options, "movflags", "+frag_keyframe+empty_moov+default_base_moof", 0);
    if (avformat_write_header(output, &options) < 0) {
        std::fprintf(stderr, "copy_recorder: cannot write %s\n", argv[2]);
        return 1;
    }
    av_dict_free(&options);
    AVPacket* packet = av_packet_alloc();
    while (!stopping && av_read_frame(input, packet) >= 0) {
        // ffmpeg makes up a time for a packet that has none (the stream's
        // first, before its RTP clock is known); leaving it out costs the same.
        if (packet->stream_index == video && packet->dts != AV_NOPTS_VALUE) {
            packet->stream_index = 0;
            av_packet_rescale_ts(packet, input->streams[video]->time_base, stream->time_base);
            av_interleaved_write_frame(output, packet);
        }
        av_packet_unref(packet);
    }
    av_packet_free(&packet);
    av_write_trailer(output);
    avio_closep(&output->pb);
    avformat_free_context(output);
    avformat_close_input(&input);
    return 0;
}
