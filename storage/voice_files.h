// Voice files on the card: links for the modem in "/var/zrb_318_voice/", the
// presence and format bitmaps in input registers 128..159, and the WAV check.
#pragma once
#include <cstdint>
#include <string>

// Alarm n's voice files: "DO<n>_ON.wav" and "DO<n>_OFF.wav" in the card's
// voice directory, linked under the same name from the modem's directory.
constexpr const char *VOICE_CARD_DIR = "/media/card/voice/";
constexpr const char *VOICE_LINK_DIR = "/var/zrb_318_voice/";
std::string voice_file_name(int n, bool on);

struct wav_header {
    uint16_t audio_format;
    int16_t channels;
    uint32_t sample_rate;
    uint32_t byte_rate;
    uint16_t block_align;
    int16_t bits_per_sample;
    uint16_t ext_size;
};

// Returns the sample data (caller frees with free()) or nullptr.
uint8_t *wavread(const char *path, wav_header *hdr);
// Header and chunk sizes only, never the samples; regular files only, never
// blocks on a FIFO or device. 1 when the data chunk was found.
int wav_read_header(const char *path, wav_header *hdr);
int check_wav_format(int n, int on);   // 1 acceptable
int pow_ne(int x, int y);
int link_wav_to_var();
void check_wav_exist_format();
