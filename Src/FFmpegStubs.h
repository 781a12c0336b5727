// Function tables of the FFmpeg libraries, bound by the loader (FFmpegLoader.h).
//
// Each table is one X-macro list; an entry is named after the exported function
// and typed from the installed headers, so a call through a table is checked by
// the compiler exactly like a direct call: AVUtilStubs.av_frame_alloc().
// Every entry is null until its library is bound and null again once unbound.
// To use a new function, add it to the list of its library.
//
// Only Src/ includes this header: FFmpeg types stay inside the media engine.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/bsf.h>
#include <libavdevice/avdevice.h>
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavformat/avformat.h>
#include <libavformat/avio.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/avstring.h>
#include <libavutil/channel_layout.h>
#include <libavutil/dict.h>
#include <libavutil/eval.h>
#include <libavutil/frame.h>
#include <libavutil/imgutils.h>
#include <libavutil/mathematics.h>
#include <libavutil/opt.h>
#include <libavutil/parseutils.h>
#include <libavutil/pixdesc.h>
#include <libavutil/samplefmt.h>
#include <libavutil/time.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include <cstdio>
#include <cstdlib>
#include <cstring>

#define TONVALE_AVCODEC_FUNCTIONS(X)                                                               \
    X(avcodec_version)                                                                             \
    X(avcodec_find_decoder)                                                                        \
    X(avcodec_find_decoder_by_name)                                                                \
    X(avcodec_find_encoder)                                                                        \
    X(avcodec_find_encoder_by_name)                                                                \
    X(avcodec_alloc_context3)                                                                      \
    X(avcodec_free_context)                                                                        \
    X(avcodec_open2)                                                                               \
    X(avcodec_close)                                                                               \
    X(avcodec_get_class)                                                                           \
    X(avcodec_get_name)                                                                            \
    X(avcodec_descriptor_get)                                                                      \
    X(avcodec_descriptor_get_by_name)                                                              \
    X(avcodec_parameters_alloc)                                                                    \
    X(avcodec_parameters_free)                                                                     \
    X(avcodec_parameters_copy)                                                                     \
    X(avcodec_parameters_from_context)                                                             \
    X(avcodec_parameters_to_context)                                                               \
    X(avcodec_send_packet)                                                                         \
    X(avcodec_receive_frame)                                                                       \
    X(avcodec_send_frame)                                                                          \
    X(avcodec_receive_packet)                                                                      \
    X(avcodec_flush_buffers)                                                                       \
    X(avcodec_string)                                                                              \
    X(av_codec_iterate)                                                                            \
    X(av_codec_is_encoder)                                                                         \
    X(av_codec_is_decoder)                                                                         \
    X(av_get_bits_per_sample)                                                                      \
    X(av_get_exact_bits_per_sample)                                                                \
    X(av_get_audio_frame_duration)                                                                 \
    X(av_packet_alloc)                                                                             \
    X(av_packet_free)                                                                              \
    X(av_packet_ref)                                                                               \
    X(av_packet_unref)                                                                             \
    X(av_packet_move_ref)                                                                          \
    X(av_packet_rescale_ts)                                                                        \
    X(av_new_packet)                                                                               \
    X(avcodec_decode_subtitle2)                                                                    \
    X(avcodec_encode_subtitle)                                                                     \
    X(avsubtitle_free)                                                                             \
    X(av_packet_get_side_data)                                                                     \
    X(av_bsf_get_by_name)                                                                          \
    X(av_bsf_alloc)                                                                                \
    X(av_bsf_init)                                                                                 \
    X(av_bsf_send_packet)                                                                          \
    X(av_bsf_receive_packet)                                                                       \
    X(av_bsf_free)                                                                                 \
    X(av_bsf_get_class)

#define TONVALE_AVDEVICE_FUNCTIONS(X)                                                              \
    X(avdevice_version)                                                                            \
    X(avdevice_register_all)

#define TONVALE_AVFILTER_FUNCTIONS(X)                                                              \
    X(avfilter_version)                                                                            \
    X(avfilter_get_by_name)                                                                        \
    X(avfilter_graph_alloc)                                                                        \
    X(avfilter_graph_free)                                                                         \
    X(avfilter_graph_create_filter)                                                                \
    X(avfilter_graph_parse_ptr)                                                                    \
    X(avfilter_graph_parse2)                                                                       \
    X(avfilter_pad_get_type)                                                                       \
    X(avfilter_graph_config)                                                                       \
    X(avfilter_inout_alloc)                                                                        \
    X(avfilter_inout_free)                                                                         \
    X(av_buffersink_get_w)                                                                         \
    X(av_buffersink_get_h)                                                                         \
    X(av_buffersink_get_format)                                                                    \
    X(av_buffersink_get_time_base)                                                                 \
    X(av_buffersrc_add_frame_flags)                                                                \
    X(av_buffersink_get_frame)

#define TONVALE_AVFORMAT_FUNCTIONS(X)                                                              \
    X(avformat_version)                                                                            \
    X(avformat_alloc_context)                                                                      \
    X(avformat_free_context)                                                                       \
    X(avformat_open_input)                                                                         \
    X(avformat_close_input)                                                                        \
    X(avformat_find_stream_info)                                                                   \
    X(avformat_alloc_output_context2)                                                              \
    X(avformat_new_stream)                                                                         \
    X(avformat_write_header)                                                                       \
    X(avformat_query_codec)                                                                        \
    X(avformat_get_class)                                                                          \
    X(avformat_seek_file)                                                                          \
    X(av_write_trailer)                                                                            \
    X(av_interleaved_write_frame)                                                                  \
    X(av_write_frame)                                                                              \
    X(av_read_frame)                                                                               \
    X(av_read_play)                                                                                \
    X(av_read_pause)                                                                               \
    X(av_seek_frame)                                                                               \
    X(av_find_input_format)                                                                        \
    X(av_probe_input_buffer2)                                                                      \
    X(av_guess_format)                                                                             \
    X(av_guess_codec)                                                                              \
    X(av_codec_get_id)                                                                             \
    X(av_codec_get_tag)                                                                            \
    X(av_dump_format)                                                                              \
    X(av_demuxer_iterate)                                                                          \
    X(av_muxer_iterate)                                                                            \
    X(av_filename_number_test)                                                                     \
    X(av_sdp_create)                                                                               \
    X(av_pkt_dump_log2)                                                                            \
    X(av_hex_dump_log)                                                                             \
    X(avio_open)                                                                                   \
    X(avio_find_protocol_name)                                                                     \
    X(avio_closep)                                                                                 \
    X(avio_alloc_context)                                                                          \
    X(avio_context_free)                                                                           \
    X(avio_size)                                                                                   \
    X(avio_seek)                                                                                   \
    X(avio_flush)                                                                                  \
    X(avio_feof)                                                                                   \
    X(avio_read)                                                                                   \
    X(avio_write)

#define TONVALE_AVUTIL_FUNCTIONS(X)                                                                \
    X(avutil_version)                                                                              \
    X(av_log)                                                                                      \
    X(av_log_set_callback)                                                                         \
    X(av_log_set_level)                                                                            \
    X(av_log_get_level)                                                                            \
    X(av_log_default_callback)                                                                     \
    X(av_default_item_name)                                                                        \
    X(av_malloc)                                                                                   \
    X(av_mallocz)                                                                                  \
    X(av_realloc)                                                                                  \
    X(av_free)                                                                                     \
    X(av_freep)                                                                                    \
    X(av_strdup)                                                                                   \
    X(av_strerror)                                                                                 \
    X(av_dict_set)                                                                                 \
    X(av_dict_get)                                                                                 \
    X(av_dict_copy)                                                                                \
    X(av_dict_free)                                                                                \
    X(av_opt_set)                                                                                  \
    X(av_opt_get)                                                                                  \
    X(av_opt_get_int)                                                                              \
    X(av_opt_find)                                                                                 \
    X(av_opt_find2)                                                                                \
    X(av_opt_next)                                                                                 \
    X(av_opt_set_defaults)                                                                         \
    X(av_opt_set_int)                                                                              \
    X(av_opt_set_dict)                                                                             \
    X(av_set_options_string)                                                                       \
    X(av_opt_free)                                                                                 \
    X(av_parse_time)                                                                               \
    X(av_parse_video_size)                                                                         \
    X(av_parse_video_rate)                                                                         \
    X(av_parse_color)                                                                              \
    X(av_expr_parse_and_eval)                                                                      \
    X(av_get_pix_fmt)                                                                              \
    X(av_get_pix_fmt_name)                                                                         \
    X(av_pix_fmt_desc_get)                                                                         \
    X(av_get_sample_fmt)                                                                           \
    X(av_get_sample_fmt_name)                                                                      \
    X(av_get_sample_fmt_string)                                                                    \
    X(av_get_pix_fmt_string)                                                                       \
    X(av_get_bytes_per_sample)                                                                     \
    X(av_get_packed_sample_fmt)                                                                    \
    X(av_sample_fmt_is_planar)                                                                     \
    X(av_samples_get_buffer_size)                                                                  \
    X(av_samples_alloc)                                                                            \
    X(av_samples_set_silence)                                                                      \
    X(av_samples_copy)                                                                             \
    X(av_frame_alloc)                                                                              \
    X(av_frame_free)                                                                               \
    X(av_frame_unref)                                                                              \
    X(av_frame_ref)                                                                                \
    X(av_frame_get_buffer)                                                                         \
    X(av_frame_make_writable)                                                                      \
    X(av_frame_apply_cropping)                                                                     \
    X(av_frame_copy)                                                                               \
    X(av_frame_copy_props)                                                                         \
    X(av_image_copy)                                                                               \
    X(av_opt_set_bin)                                                                              \
    X(av_audio_fifo_alloc)                                                                         \
    X(av_audio_fifo_free)                                                                          \
    X(av_audio_fifo_write)                                                                         \
    X(av_audio_fifo_read)                                                                          \
    X(av_audio_fifo_peek)                                                                          \
    X(av_audio_fifo_size)                                                                          \
    X(av_audio_fifo_drain)                                                                         \
    X(av_audio_fifo_realloc)                                                                       \
    X(av_channel_layout_default)                                                                   \
    X(av_channel_layout_from_mask)                                                                 \
    X(av_channel_layout_copy)                                                                      \
    X(av_channel_layout_compare)                                                                   \
    X(av_channel_layout_uninit)                                                                    \
    X(av_channel_layout_describe)                                                                  \
    X(av_image_get_buffer_size)                                                                    \
    X(av_image_fill_arrays)                                                                        \
    X(av_image_alloc)                                                                              \
    X(av_rescale)                                                                                  \
    X(av_rescale_rnd)                                                                              \
    X(av_rescale_q)                                                                                \
    X(av_rescale_q_rnd)                                                                            \
    X(av_compare_ts)                                                                               \
    X(av_reduce)                                                                                   \
    X(av_gcd)                                                                                      \
    X(av_d2q)                                                                                      \
    X(av_find_nearest_q_idx)                                                                       \
    X(av_gettime)                                                                                  \
    X(av_gettime_relative)                                                                         \
    X(av_strlcpy)                                                                                  \
    X(av_strstart)

#define TONVALE_SWSCALE_FUNCTIONS(X)                                                               \
    X(swscale_version)                                                                             \
    X(sws_getContext)                                                                              \
    X(sws_getCachedContext)                                                                        \
    X(sws_scale)                                                                                   \
    X(sws_freeContext)                                                                             \
    X(sws_get_class)

#define TONVALE_SWRESAMPLE_FUNCTIONS(X)                                                            \
    X(swresample_version)                                                                          \
    X(swr_alloc)                                                                                   \
    X(swr_alloc_set_opts2)                                                                         \
    X(swr_init)                                                                                    \
    X(swr_is_initialized)                                                                          \
    X(swr_free)                                                                                    \
    X(swr_convert)                                                                                 \
    X(swr_get_delay)                                                                               \
    X(swr_get_out_samples)                                                                         \
    X(swr_set_compensation)                                                                        \
    X(swr_get_class)

// The C runtime services the engine calls by their "my_" names, bound from libc.
#define TONVALE_MYUTIL_FUNCTIONS(X)                                                                \
    X(my_fopen, fopen)                                                                             \
    X(my_fread, fread)                                                                             \
    X(my_fwrite, fwrite)                                                                           \
    X(my_fseek, fseek)                                                                             \
    X(my_ftell, ftell)                                                                             \
    X(my_fclose, fclose)                                                                           \
    X(my_fprintf, fprintf)                                                                         \
    X(my_snprintf, snprintf)                                                                       \
    X(my_vsprintf, vsprintf)                                                                       \
    X(my_strtod, strtod)                                                                           \
    X(my_strtok, strtok)                                                                           \
    X(my_strtol, strtol)

// SDL has a table but is never loaded; its headers are not needed to build.
#define TONVALE_SDL_FUNCTIONS(X)                                                                   \
    X(SDL_Init)                                                                                    \
    X(SDL_Quit)                                                                                    \
    X(SDL_GetError)                                                                                \
    X(SDL_OpenAudio)                                                                               \
    X(SDL_PauseAudio)                                                                              \
    X(SDL_CloseAudio)

#define TONVALE_STUB_FIELD(name) decltype(&::name) name = nullptr;
#define TONVALE_STUB_FIELD_AS(name, symbol) decltype(&::symbol) name = nullptr;
#define TONVALE_STUB_UNTYPED(name) void* name = nullptr;

struct TAVCodecStubs {
    TONVALE_AVCODEC_FUNCTIONS(TONVALE_STUB_FIELD)
};
struct TAVDeviceStubs {
    TONVALE_AVDEVICE_FUNCTIONS(TONVALE_STUB_FIELD)
};
struct TAVFilterStubs {
    TONVALE_AVFILTER_FUNCTIONS(TONVALE_STUB_FIELD)
};
struct TAVFormatStubs {
    TONVALE_AVFORMAT_FUNCTIONS(TONVALE_STUB_FIELD)
};
struct TAVUtilStubs {
    TONVALE_AVUTIL_FUNCTIONS(TONVALE_STUB_FIELD)
};
struct TSwScaleStubs {
    TONVALE_SWSCALE_FUNCTIONS(TONVALE_STUB_FIELD)
};
struct TSwResampleStubs {
    TONVALE_SWRESAMPLE_FUNCTIONS(TONVALE_STUB_FIELD)
};
struct TMyUtilStubs {
    TONVALE_MYUTIL_FUNCTIONS(TONVALE_STUB_FIELD_AS)
};
struct TSDLStubs {
    TONVALE_SDL_FUNCTIONS(TONVALE_STUB_UNTYPED)
};

extern TAVCodecStubs AVCodecStubs;
extern TAVDeviceStubs AVDeviceStubs;
extern TAVFilterStubs AVFilterStubs;
extern TAVFormatStubs AVFormatStubs;
extern TAVUtilStubs AVUtilStubs;
extern TSwScaleStubs SwScaleStubs;
extern TSwResampleStubs SwResampleStubs;
extern TMyUtilStubs MyUtilStubs;
extern TSDLStubs libsdl;
