// The environment of the ALSA backend's test programs, set before main and
// so before alsa-lib or libpulse read it: the tests' own alsa-lib
// configuration (the PCMs they name, see sorn-alsa-test.conf.in) and
// libpulse's client configuration (client.conf.in says why). Whatever the
// caller set already is kept.
#include <cstdlib>

namespace {

const bool kSet = [] {
    ::setenv("ALSA_CONFIG_PATH", SORN_ALSA_TEST_DIR "/asound.conf", 0);
    ::setenv("PULSE_CLIENTCONFIG", SORN_ALSA_TEST_DIR "/client.conf", 0);
    return true;
}();

}  // namespace
