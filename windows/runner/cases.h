// The calls the runner makes to the module, by name. The runner writes, for each case, the
// files <name>.console (the host console text), <name>.stderr (the process's standard error
// stream during the call) and <name>.out (the outputs, see dump.h) into its output folder;
// the Windows build run under Wine and the Linux test-host build must write the same files.
// It also writes libm.out, the results of the C runtime's sin, cos, atan and atan2 on a fixed
// set of arguments, which differ in their last bits between runtimes.
#pragma once

namespace tarvo_runner {

inline constexpr const char* kCases[] = {
    // Calls that run the pipeline.
    "phantom_4d_all_outputs",  // 64 x 64 x 2 x 4 even/odd frames, nlhs 3 (power-of-two FFTs)
    "phantom_5d_mixed_radix",  // 40 x 36 x 2 x 2 x 3 (Z folds to 4), nlhs 3 (mixed-radix FFTs)
    "phantom_3d_two_outputs",  // 32 x 24 x 4 (Z = 1), nlhs 2
    "third_input_one_output",  // a third 4-D input is corrected, nlhs 1
    "no_outputs",              // nlhs 0: calibration only
    "shapes_fold_alike",       // 8 x 8 x 2 x 3 x 2 and 8 x 8 x 6 x 2 fold to the same extents
    // Calls refused with a console message.
    "no_inputs",            // nrhs 0
    "one_input",            // nrhs 1
    "too_many_outputs",     // nlhs 4
    "first_real",           // real double first input
    "first_single",         // complex single first input
    "first_2d",             // M x N first input
    "second_real",          // real double second input
    "second_2d",            // M x N second input
    "size_mismatch",        // coil counts differ
    "third_3d",             // third input of three dimensions
    "third_5d",             // third input of five dimensions
    "third_other_extents",  // third input whose extents differ from the first input's
    "output_create_fails",  // the host cannot create output 1
    "struct_create_fails",  // the host cannot create the struct of output 3
    // tarvo_apply with the kernels of a tarvo call on a 24 x 20 x 2 x 3 pair.
    "apply_series",       // a series of 3 frames (5-D target)
    "apply_one_frame",    // one frame (the 5th extent is 1: a 4-D target)
    "apply_wrong_coils",  // a target of 2 coils: the tarvo:apply:coef error
    "apply_real_target",  // a real target: the tarvo:apply:target error
    // tarvo_apply with the kernels of tarvo_calibrate(even, odd, 'R', 2) on that pair, a series
    // of 2 frames whose even lines (from 0) are zero.
    "apply_r2_zero_filled",  // the acquired lines found from the zeros
    "apply_r2_lines",        // the acquired lines given: 'Lines', 2:2:20
    // tarvo_calibrate(even, odd, 'r', R) on that pair, nlhs 2.
    "calibrate_r2_fits",  // R = 2: K and fits, 6 x 2 each
    "calibrate_bad_r",    // R = 5: the tarvo:calibrate:R error
    // tarvo_prepare on 28 ramp-sampled readout samples of 8 lines x 2 slices x 2 coils, M 16.
    "prepare_ramp",    // odd lines reversed
    "prepare_bad_kx",  // kx not increasing: the tarvo:prepare:kx error
};

inline constexpr int kCaseCount = static_cast<int>(sizeof(kCases) / sizeof(kCases[0]));

// Arguments of the libm probe (libm.out, see runner.cpp).
inline constexpr int kLibmProbeCount = 20000;

}  // namespace tarvo_runner
