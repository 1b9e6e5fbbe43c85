#pragma once

#include "VqAttributeT.h"
#include "VqExport.h"
#include "VqFixedVec.h"

#include <atomic>
#include <vector>

// Blend factors of a material, as the renderer knows them.
enum VqBlendFactor : int {
    VQ_ZERO = 0,
    VQ_ONE = 1,
    VQ_SRC_COLOR = 2,
    VQ_ONE_MINUS_SRC_COLOR = 3,
    VQ_DST_COLOR = 4,
    VQ_ONE_MINUS_DST_COLOR = 5,
    VQ_SRC_ALPHA = 6,
    VQ_ONE_MINUS_SRC_ALPHA = 7,
    VQ_DST_ALPHA = 8,
    VQ_ONE_MINUS_DST_ALPHA = 9,
    VQ_SRC_ALPHA_SATURATE = 10
};

// Surface colours, shininess, blending, reflectivity and bumpiness.
class VQ_API VqMaterial : public VqAttributeT<VqMaterial> {
    VQ_DECLARE_TYPE(VqMaterial)
public:
    enum Field : unsigned int {
        Ambient = 0,
        Diffuse = 1,
        Specular = 2,
        Emission = 3,
        Shininess = 4,
        Blending = 5, // the blending switch and both factors
        OverrideVertexColors = 6,
        Reflectivity = 7,
        Bumpiness = 8,
        NumFields = 9
    };
    // Data flag bits of an element.
    static constexpr unsigned short s_uBlendFlag = 0x10;
    static constexpr unsigned short s_uOverrideVtxColorsFlag = 0x20;

    VqMaterial();
    VqMaterial(const VqMaterial& o);
    VqMaterial& operator=(const VqMaterial&) = delete;
    ~VqMaterial() override;

    unsigned int _numFields() const override { return NumFields; }
    // Elements of 9.6 and 9.7 keep a final mask that bit 0 cannot express.
    bool _writesV9FinalMask() const override { return true; }
    VqBitField<1> _convertFromPreV10FieldBits(unsigned int bits) const override;
    unsigned int _convertToPreV10FieldBits(VqBitField<1> bits, unsigned int major,
                                           unsigned int minor) const override;
    bool _apply(VqRenderContext& rc, const VqState* state, bool, bool) const override;
    bool accumulateHook(const VqAttribute& in, const VqState* state, const VqPath* path) override;

    const VqVec4f& ambientColor() const { return _aColors[0]; }
    const VqVec4f& diffuseColor() const { return _aColors[1]; }
    const VqVec4f& specularColor() const { return _aColors[2]; }
    const VqVec4f& emissionColor() const { return _aColors[3]; }
    float shininess() const { return _fShininess; }
    float reflectivity() const { return _fReflectivity; }
    float bumpiness() const { return _fBumpiness; }
    bool blending() const { return (_uDataFlags & s_uBlendFlag) != 0; }
    bool overrideVertexColors() const { return (_uDataFlags & s_uOverrideVtxColorsFlag) != 0; }
    VqBlendFactor srcBlendFactor() const { return static_cast<VqBlendFactor>((_uDataFlags >> 6) & 0x1F); }
    VqBlendFactor dstBlendFactor() const { return static_cast<VqBlendFactor>((_uDataFlags >> 11) & 0x1F); }
    unsigned short dataFlags() const { return _uDataFlags; }

    bool setAmbientColor(const VqVec4f& c) { return _setColor(0, c); }
    bool setDiffuseColor(const VqVec4f& c) { return _setColor(1, c); }
    bool setSpecularColor(const VqVec4f& c) { return _setColor(2, c); }
    bool setEmissionColor(const VqVec4f& c) { return _setColor(3, c); }
    bool setShininess(float s);
    bool setReflectivity(float fReflec);
    bool setBumpiness(float fBumpiness);
    bool setBlending(bool on);
    bool setBlendFactors(VqBlendFactor srcFactor, VqBlendFactor dstFactor);
    bool setOverrideVertexColors(bool on);

    // Mixed accumulation: when dynamic materials take part, the accumulator
    // remembers what it merged so that a change of one of them can be
    // replayed without a new traversal.
    bool mixedAccumActive() const { return _pMixedAccumData != nullptr; }
    bool mixedAccumModified() const;
    // Recomputes the values from the recorded merges.
    bool recomputeDynamicState();

    auto _fields() const { return std::tie(_uDataFlags, _aColors, _fShininess, _fReflectivity, _fBumpiness); }
    bool _writeFields(VqObjectStream& os, const Vq::RecordFormat& fmt) const;
    bool _readFields(VqObjectStream& os, const Vq::RecordFormat& fmt, int localVersion);

private:
    // The accumulator is not a client of the materials it merged (states are
    // built on traversal threads, which must not change shared attributes):
    // it compares the sum of their change counts with the one it merged.
    struct MixedAccumData : public VqAllocHooked {
        // The values before the first recorded merge.
        Vq::SharedPtr<const VqMaterial> _pBase;
        std::vector<Vq::SharedPtr<const VqMaterial>> _vpMerged;
        std::atomic<uint64_t> _nMergedChanges{0};
        MixedAccumData() = default;
        MixedAccumData(const MixedAccumData& o)
            : _pBase(o._pBase), _vpMerged(o._vpMerged), _nMergedChanges(o._nMergedChanges.load()) {}
        uint64_t changes() const;
    };

    bool _setColor(int index, const VqVec4f& c);
    bool _notify(Vq::BaseChange change);
    void _mergeValues(const VqMaterial& in);
    void _copyValues(const VqMaterial& from);

    VqVec4f _aColors[4];
    float _fShininess = 0.0f;
    float _fReflectivity = 0.0f;
    float _fBumpiness = 0.0f;
    unsigned short _uDataFlags;
    MixedAccumData* _pMixedAccumData = nullptr;
};
