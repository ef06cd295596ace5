// The per-call correction context: FFT pool, scratch volumes and per-slice kernel sets.
#include <cstdio>
#include <cstring>

#include "core/core.h"
#include "core/internal.h"
#include "linalg/report.h"

namespace {

// Frees the scratch volumes and clears their pointers.
void release_scratch(CorrectionContext* context) {
  for (dcomplex** s :
       {&context->odd_half, &context->odd_slice, &context->even_slice, &context->hybrid}) {
    tarvo::free_bytes(*s);
    *s = nullptr;
  }
  context->hybrid_elements = 0;
}

}  // namespace

int context_create(CorrectionContext* context, const ComplexVolume* first) {
  std::memset(context, 0, sizeof(*context));
  const int ndims = first->ndims;
  if (ndims < 2 || ndims > 8) {
    tarvo::report("context_create: the input has %d extents.  Unable to proceed.\n", ndims);
    return -1;
  }
  const std::int64_t count = core_detail::element_count(ndims, first->dims);
  if (count < 0) {
    tarvo::report("context_create: the input has a negative extent.  Unable to proceed.\n");
    return -1;
  }
  context->ndims = ndims;
  context->dims = tarvo::alloc_array<std::int32_t>(ndims);
  if (!context->dims) {
    tarvo::report(" could not alloc context dims array\n");
    context_destroy(context);
    return -1;
  }
  for (int i = 0; i < ndims; ++i) context->dims[i] = first->dims[i];
  context->slice_count = ndims > 2 ? first->dims[2] : 1;
  context->slices = tarvo::alloc_array<SliceKernelSet*>(context->slice_count, true);
  if (!context->slices) {
    tarvo::report(" could not alloc context slices array\n");
    context_destroy(context);
    return -1;
  }
  context->slice_elements = context->slice_count > 0 ? count / context->slice_count : 0;
  // The whole volume is taken when first needed (a calibration made from kernels never needs it).
  for (dcomplex** s : {&context->odd_slice, &context->even_slice}) {
    *s = tarvo::alloc_array<dcomplex>(context->slice_elements, true);
    if (!*s) {
      tarvo::report(" could not alloc context scratch array\n");
      release_scratch(context);
      context_destroy(context);
      return -1;
    }
  }
  context->spacing_count = 1;
  if (fft_manager_init(&context->fft) != 0) {
    release_scratch(context);
    context_destroy(context);
    return -1;
  }
  context->initialized = 1;
  return 0;
}

dcomplex* context_volume(CorrectionContext* context) {
  if (!context->odd_half && context->initialized == 1)
    context->odd_half = tarvo::alloc_array<dcomplex>(
        core_detail::element_count(context->ndims, context->dims), true);
  return context->odd_half;
}

void context_release_volume(CorrectionContext* context) {
  tarvo::free_bytes(context->odd_half);
  context->odd_half = nullptr;
}

void context_destroy(CorrectionContext* context) {
  if (context->initialized == 1) {
    fft_manager_destroy(&context->fft);
    release_scratch(context);
    context->initialized = 0;
  }
  if (context->slices && context->borrowed == 1) {
    context->slices = nullptr;  // the lender's
    context->borrowed = 0;
  }
  if (context->slices) {
    for (int z = 0; z < context->slice_count; ++z) {
      if (!context->slices[z]) continue;
      release_kernel_set(context->slices[z]);
      tarvo::free_bytes(context->slices[z]);
      context->slices[z] = nullptr;
    }
    tarvo::free_bytes(context->slices);
    context->slices = nullptr;
  }
  tarvo::free_bytes(context->dims);
  context->dims = nullptr;
}
