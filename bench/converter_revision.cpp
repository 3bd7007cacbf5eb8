// converter_revision.cpp - one revision's converter behind fixed C names, so
// that two revisions can be linked into one benchmark program
// (bench/converter_compare.sh).  Compiled once per revision, with -DSIDE=
// before or after, that revision's converter/ first on the include path and
// its entries renamed by -D so that the two copies do not collide.  The
// entries are called directly; a revision without caller-owned states
// (before they came) reports so through has_state.
#include "asrc.cpp"

#include <cstdint>

#define ASRC_GLUE2(a, b) a##_##b
#define ASRC_GLUE(a, b) ASRC_GLUE2(a, b)
#define ASRC_SIDE(x) ASRC_GLUE(SIDE, x)

extern "C" {

void ASRC_SIDE(reset)(void)
{
    asrc_init();
}

void ASRC_SIDE(sample)(std::int16_t* out, std::int16_t in, std::int32_t* nout, std::int16_t step)
{
    asrc_process_sample(out, in, nout, step);
}

void ASRC_SIDE(block)(std::int16_t* out, const std::int16_t* in, std::int32_t* nin,
                      std::int32_t* nout, std::int16_t step)
{
    asrc_process_block(out, in, nin, nout, step);
}

#ifdef HAS_STATE
static asrc_state state;

int ASRC_SIDE(has_state)(void)
{
    return 1;
}

void ASRC_SIDE(state_reset)(void)
{
    asrc_state_init(&state);
}

void ASRC_SIDE(state_sample)(std::int16_t* out, std::int16_t in, std::int32_t* nout,
                             std::int16_t step)
{
    asrc_state_process_sample(&state, out, in, nout, step);
}

void ASRC_SIDE(state_block)(std::int16_t* out, const std::int16_t* in, std::int32_t* nin,
                            std::int32_t* nout, std::int16_t step)
{
    asrc_state_process_block(&state, out, in, nin, nout, step);
}
#else
int ASRC_SIDE(has_state)(void)
{
    return 0;
}
void ASRC_SIDE(state_reset)(void) {}
void ASRC_SIDE(state_sample)(std::int16_t*, std::int16_t, std::int32_t*, std::int16_t) {}
void ASRC_SIDE(state_block)(std::int16_t*, const std::int16_t*, std::int32_t*, std::int32_t*,
                            std::int16_t)
{
}
#endif

} // extern "C"
