#include "fx_usage.h"

#ifndef KLOR_FX_VERSION
#error "KLOR_FX_VERSION must give the project version"
#endif

namespace klorfx {

namespace {

constexpr char kHelp[] = R"(Usage: klor-fx [OPTIONS] IN OUT
       klor-fx --plot FILE.png [OPTIONS] [IN [OUT]]
       klor-fx --demo [--out-dir DIR] [OPTIONS]

Runs audio through KLOR Distortion, a memoryless soft waveshaper, loading
its plug-in module the way any host does.

IN and OUT are audio files in any format libsndfile handles. '-' stands for
standard input or output, carrying raw interleaved 32-bit float samples.

Effect:
  --level L        how hard the curve bends, 0 to 1 (default 0.5); 0 passes
                   audio through unchanged
  --mask M         channels to shape: bit n selects channel n+1 (channels
                   17 and up are never shaped); decimal, 0x hex or 0b binary,
                   at most 0xFFFF (default 0xFFFF, every channel)
  --mix X          dry/wet from 0 (the input, exactly) to 1 (the effect's
                   output, exactly; default)
  --block N        frames per call into the effect, 1 to 65536 (default 512)
  --plugin PATH    the plug-in module (default: libklor_distortion.so in the
                   installed library directory, or next to klor-fx's
                   directory in a build tree)

Output format. By default OUT keeps IN's container, encoding and sample
rate; an OUT name ending in a known extension (.wav .flac .ogg .opus .aiff
.caf .w64 .au ...) picks that container, keeping the encoding when it can.
  --format NAME    container by name (see --list-formats)
  --bits N         integer PCM of 8, 16, 24 or 32 bits
  --float          32-bit float samples
  --raw C:R        IN is headerless 32-bit float with C channels at R Hz
                   (needed when IN is '-')
Integer outputs clip samples beyond full scale instead of wrapping them;
the summary counts the clipped samples. OUT appears only when complete: it
is written under a temporary name and renamed at the end, and removed on
any error or interruption.

Pictures:
  --plot FILE.png  an 800x500 PNG of the transfer curve at this level and at
                   0, 0.25, 0.5, 0.75 and 0.9; with IN, also the first 200 ms
                   of the waveform before and after (without OUT, only the
                   start of IN is read and nothing else is written)
  --demo           synthesise a 3 s test signal, run it at those levels and
                   write WAVs, the input and a picture into --out-dir
  --out-dir DIR    where --demo writes (default demo-out)

Other:
  -q, --quiet      no progress bar, no summary; errors are still reported
  --list-formats   the containers and encodings this libsndfile writes
  -h, --help       this text
  --version        the version

The progress bar appears on standard error when it is a terminal. The
summary (duration, peak and RMS in and out, clipped samples, speed) goes
to standard output, or to standard error when OUT is '-'.

Exit status:
  0    success
  1    processing failed after the files were opened
  2    usage: unknown option, missing operand, bad option value
  3    input missing, unreadable or in an unknown format
  4    output cannot be created or cannot hold the requested format
  5    the plug-in cannot be loaded or cannot create an instance
  130  interrupted; the partial output was removed

Examples:
  klor-fx guitar.wav crunch.wav --level 0.7
      shape both channels at level 0.7; crunch.wav keeps guitar.wav's format
  klor-fx drums.flac drums-wet.flac --level 0.9 --mix 0.3
      parallel distortion: 70 % dry, 30 % effect
  klor-fx stereo.wav left-shaped.wav --mask 0x1
      shape channel 1 only, copy channel 2
  klor-fx take.wav take.flac --bits 24
      FLAC by extension, 24-bit
  klor-fx voice.wav voice.ogg --level 0.4
      Ogg Vorbis by extension
  sox in.wav -t raw -e floating-point -b 32 -c 2 -r 48000 - |
      klor-fx - - --raw 2:48000 --level 0.6 | aplay -t raw -f FLOAT_LE -c 2 -r 48000
      a pipeline through standard input and output
  klor-fx --plot curves.png --level 0.6
      the transfer curves only
  klor-fx --plot look.png guitar.wav --level 0.8
      curves and the first 200 ms of guitar.wav before and after
  klor-fx --demo --out-dir demo-out
      the demo: WAVs, a table and demo-out/klor-demo.png
)";

}  // namespace

void printHelp(std::FILE* out) { std::fputs(kHelp, out); }

void printVersion(std::FILE* out) { std::fprintf(out, "klor-fx %s\n", KLOR_FX_VERSION); }

}  // namespace klorfx
