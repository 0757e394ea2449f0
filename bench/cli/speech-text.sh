# Sourced by the pitch benchmarks: speech_text SEED SENTENCES prints that
# many sentences of 6 to 14 words drawn with a fixed seed, for espeak-ng to
# speak, so every run tracks the same speech.
speech_text() {
  awk -v seed="$1" -v sentences="$2" 'BEGIN {
    srand(seed);
    n = split("the quick brown fox jumps over a lazy dog while seven bright singers hum along under " \
              "the old bridge near our quiet river and many voices rise and fall in gentle patterns of speech", w, " ");
    for (s = 0; s < sentences; s++) {
      k = 6 + int(rand() * 9); line = "";
      for (i = 0; i < k; i++) line = line (i ? " " : "") w[1 + int(rand() * n)];
      printf "%s. ", line;
    }
  }'
}
