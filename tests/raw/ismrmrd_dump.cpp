// Reads an ISMRMRD raw file with the reference library and prints what it finds, for the
// Python tests to compare with what the simulator wrote and what tarvo's reader sees:
//   header <enc x> <enc y> <enc z> <fov x> <fov y> <fov z> <trajectory: 0 cartesian, 1 epi, ...>
//   <TR or -1> describe <identifier> then one "<name> <value>" per trajectory parameter
//   parallel <acceleration along encode step 1> <along step 2> (when the header has it)
//   acquisitions <count>
//   acq <i> <flags> <samples> <channels> <center> <traj dims> <dwell> <line> <slice>
//       <repetition> <contrast> <phase> <set> <average> <position x3> <read x3> <phase x3>
//       <slice x3> <first sample of channel 0: re im> <last sample of the last channel: re im>
//       <first trajectory value or 0>
// Exit status 1 (with the library's message) when the file cannot be read.
#include <ismrmrd/dataset.h>
#include <ismrmrd/ismrmrd.h>
#include <ismrmrd/xml.h>

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

namespace {

// Three floats of the packed header at a byte offset (the arrays are not 4-byte aligned).
void print_vector(const ISMRMRD::ISMRMRD_AcquisitionHeader& h, std::size_t offset) {
  float v[3];
  std::memcpy(v, reinterpret_cast<const char*>(&h) + offset, sizeof v);
  std::printf(" %.9g %.9g %.9g", v[0], v[1], v[2]);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s file.h5\n", argv[0]);
    return 2;
  }
  try {
    ISMRMRD::Dataset dataset(argv[1], "dataset", false);
    std::string xml;
    dataset.readHeader(xml);
    ISMRMRD::IsmrmrdHeader header;
    ISMRMRD::deserialize(xml.c_str(), header);
    const ISMRMRD::Encoding& e = header.encoding.at(0);
    double tr = -1;
    if (header.sequenceParameters && header.sequenceParameters->TR &&
        !header.sequenceParameters->TR->empty())
      tr = header.sequenceParameters->TR->front();
    std::printf("header %u %u %u %.6f %.6f %.6f %d %.6f\n", e.encodedSpace.matrixSize.x,
                e.encodedSpace.matrixSize.y, e.encodedSpace.matrixSize.z,
                e.encodedSpace.fieldOfView_mm.x, e.encodedSpace.fieldOfView_mm.y,
                e.encodedSpace.fieldOfView_mm.z, static_cast<int>(e.trajectory), tr);
    if (e.trajectoryDescription) {
      std::printf("describe %s\n", e.trajectoryDescription->identifier.c_str());
      for (const auto& p : e.trajectoryDescription->userParameterLong)
        std::printf("%s %ld\n", p.name.c_str(), p.value);
      for (const auto& p : e.trajectoryDescription->userParameterDouble)
        std::printf("%s %.9g\n", p.name.c_str(), p.value);
    }
    if (e.parallelImaging)
      std::printf("parallel %u %u\n", e.parallelImaging->accelerationFactor.kspace_encoding_step_1,
                  e.parallelImaging->accelerationFactor.kspace_encoding_step_2);
    const uint32_t count = dataset.getNumberOfAcquisitions();
    std::printf("acquisitions %u\n", count);
    ISMRMRD::Acquisition acq;
    for (uint32_t i = 0; i < count; ++i) {
      dataset.readAcquisition(i, acq);
      const ISMRMRD::AcquisitionHeader& h = acq.getHead();
      const ISMRMRD::EncodingCounters& c = h.idx;
      std::printf("acq %u %llu %u %u %u %u %.6g %u %u %u %u %u %u %u", i,
                  static_cast<unsigned long long>(h.flags), h.number_of_samples, h.active_channels,
                  h.center_sample, h.trajectory_dimensions, h.sample_time_us,
                  c.kspace_encode_step_1, c.slice, c.repetition, c.contrast, c.phase, c.set,
                  c.average);
      for (std::size_t offset : {offsetof(ISMRMRD::ISMRMRD_AcquisitionHeader, position),
                                 offsetof(ISMRMRD::ISMRMRD_AcquisitionHeader, read_dir),
                                 offsetof(ISMRMRD::ISMRMRD_AcquisitionHeader, phase_dir),
                                 offsetof(ISMRMRD::ISMRMRD_AcquisitionHeader, slice_dir)})
        print_vector(h, offset);
      const complex_float_t first = acq.data(0, 0);
      const complex_float_t last = acq.data(h.number_of_samples - 1, h.active_channels - 1);
      std::printf(" %.9g %.9g %.9g %.9g %.9g\n", first.real(), first.imag(), last.real(),
                  last.imag(), acq.getNumberOfTrajElements() ? acq.getTrajPtr()[0] : 0.0f);
    }
  } catch (const std::exception& ex) {
    std::fprintf(stderr, "%s\n", ex.what());
    return 1;
  }
  return 0;
}
