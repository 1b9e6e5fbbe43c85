# Which headers a host gets. Every header under src/<subsystem>/ is public and
# is installed flat under include/vq81/, except those listed here. A header is
# private when only the library's own sources need it: it includes a library
# that is linked privately (zlib, liblzma), it holds helpers that the sources
# share to implement the file format or the library's start-up, or it declares
# a class that a host only ever reaches through another class's API. A public
# header may include public headers only, and none of the privately linked
# libraries' headers; the public_headers test enforces both, so that the list
# cannot fall behind the include lines as headers are added or moved.
#
# Read by the top-level CMakeLists.txt and by VqCheckPublicHeaders.cmake.
set(VQ_PRIVATE_HEADERS
  src/core/VqClassRegistry.h        # class registration, run by VqLib::init
  src/core/VqMemoryReservation.h    # memory accounting around the sources' own buffers
  src/geometry/VqCollocScratch.h     # a collocation's working arrays, kept by the mesh coder
  src/geometry/VqDualMeshCodec.h     # the coder's walk, reached through Vq::DualTopoMeshCoder
  src/geometry/VqDualMeshCoderV1.h   # the walk's encoding side
  src/geometry/VqDualMeshDecoderV1.h # the walk's decoding side
  src/geometry/VqIndexedMeshCoder.h  # the line-strip and point sections, reached through their records
  src/geometry/VqMeshLockGuard.h     # scoped mesh locks of the older formats' vertex data
  src/geometry/VqTopoMeshTopology.h # the derived half-edge arrays, reached through VqTopoMesh's walks
  src/geometry/VqVFMesh.h           # the coder's import of a mesh
  src/io/VqCompressorImpl.h         # includes <zlib.h> and <lzma.h>
  src/io/VqFileReplacer.h           # the save's temporary file, used by the partition
  src/io/VqRethrowRecorded.h        # turns a recorded error into an internal exception
  src/io/VqRwClientMgr.h            # reached through storage locations and the storage manager
  src/scene/VqStreamMgrSegmentIO.h  # reached through ensureData/ensureLLData(VqStreamMgr&)
  src/support/VqAsciiRun.h          # inner loops of the string conversions
  src/support/VqConvertUTF.h        # inner routines of the string conversions
)

# Headers of the libraries that Vq81 links privately.
set(VQ_PRIVATE_SYSTEM_HEADERS zlib.h lzma.h)

# Absolute paths of the private headers. A listed header that no longer exists
# stops the configuration: a rename would otherwise ship it as public unnoticed.
function(vq_private_header_paths out source_dir)
  set(paths)
  foreach(rel ${VQ_PRIVATE_HEADERS})
    if(NOT EXISTS ${source_dir}/${rel})
      message(FATAL_ERROR "${rel} is listed in VQ_PRIVATE_HEADERS (cmake/VqHeaders.cmake) but does not exist")
    endif()
    list(APPEND paths ${source_dir}/${rel})
  endforeach()
  set(${out} ${paths} PARENT_SCOPE)
endfunction()
