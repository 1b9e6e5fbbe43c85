#pragma once

#include <cstdint>

// The vertex binding mask: which attributes a vertex record carries and with
// how many components. Shapes, topology meshes, vertex record pools and the
// compressed vertex data all describe their records with it.
//
//   bits 0-2    coordinates: 0x1 = 2, 0x2 = 3, 0x4 = 4 components
//   bit 3       normals, 3 components
//   bits 4-5    colours: 0x10 = 3, 0x20 = 4 components
//   bit 6       one flag bit per vertex
//   bits 8+4k to 11+4k, k = 0..7
//               texture unit k: 1, 2, 4 or 8 times 0x100 << 4k = 1 to 4 components
//   bit 63      the records carry auxiliary fields
inline constexpr uint64_t VQ_GEOMBIND_VTXCOORD2 = 0x1;
inline constexpr uint64_t VQ_GEOMBIND_VTXCOORD3 = 0x2;
inline constexpr uint64_t VQ_GEOMBIND_VTXCOORD4 = 0x4;
inline constexpr uint64_t VQ_GEOMBIND_VTXCOORD_MASK = 0x7;
inline constexpr uint64_t VQ_GEOMBIND_NORMVEC3 = 0x8;
inline constexpr uint64_t VQ_GEOMBIND_NORMVEC_MASK = 0x8;
inline constexpr uint64_t VQ_GEOMBIND_VTXCOLOR3 = 0x10;
inline constexpr uint64_t VQ_GEOMBIND_VTXCOLOR4 = 0x20;
inline constexpr uint64_t VQ_GEOMBIND_VTXCOLOR_MASK = 0x30;
inline constexpr uint64_t VQ_GEOMBIND_VTXFLAG_MASK = 0x40;
inline constexpr int VQ_GEOMBIND_NUM_TEXUNITS = 8;
inline constexpr uint64_t VQ_GEOMBIND_TEXCOORD_ALL_MASK = 0xFFFFFFFF00ull;
inline constexpr uint64_t VQ_GEOMBIND_AUXFIELDS_MASK = 0x8000000000000000ull;

// The bits of texture unit k (0..7), and the value that binds it with n
// components (1..4): VQ_GEOMBIND_TEXCOORD2_C0 is vqTexCoordBinding(0, 2) = 0x200.
constexpr uint64_t vqTexCoordMask(int k) {
    return uint64_t(0xF00) << (4 * k);
}
constexpr uint64_t vqTexCoordBinding(int k, int nComps) {
    return (uint64_t(0x100) << (nComps - 1)) << (4 * k);
}
inline constexpr uint64_t VQ_GEOMBIND_TEXCOORD_C0_MASK = vqTexCoordMask(0);
inline constexpr uint64_t VQ_GEOMBIND_TEXCOORD1_C0 = vqTexCoordBinding(0, 1);
inline constexpr uint64_t VQ_GEOMBIND_TEXCOORD2_C0 = vqTexCoordBinding(0, 2);
inline constexpr uint64_t VQ_GEOMBIND_TEXCOORD3_C0 = vqTexCoordBinding(0, 3);
inline constexpr uint64_t VQ_GEOMBIND_TEXCOORD4_C0 = vqTexCoordBinding(0, 4);
inline constexpr uint64_t VQ_GEOMBIND_TEXCOORD4_C7 = vqTexCoordBinding(7, 4);
