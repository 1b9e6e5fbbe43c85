#pragma once

#include "VqAttribute.h"
#include "VqBitField.h"
#include "VqCachedState.h"
#include "VqExport.h"
#include "VqSquareMatrix.h"

#include <vector>

class VqPath;
class VqState;
class VqLight;
class VqXform;

namespace Vq {

// What the renderer derives from a finished state. Each holds the state it
// was made from (not counted: the state owns it) and the values it needs.
class VQ_API LightState : public VqRefCounted {
public:
    explicit LightState(const VqState* state);
    const VqState* state() const { return _pState; }
    int numLights() const { return static_cast<int>(_vpLights.size()); }
    const VqLight* light(int i) const { return _vpLights[size_t(i)]; }
    // The placement of light i; the identity for lights that need none.
    const VqMatrix4f& lightMatrix(int i) const { return _vMatrices[size_t(i)]; }

private:
    const VqState* _pState;
    std::vector<const VqLight*> _vpLights;
    std::vector<VqMatrix4f> _vMatrices;
};

class VQ_API ShapeState : public VqRefCounted {
public:
    explicit ShapeState(const VqState* state);
    const VqState* state() const { return _pState; }
    bool lighting() const { return _bLighting; }
    bool twoSided() const { return _bTwoSided; }
    bool backFaceCulling() const { return _bCulling; }
    bool outlined() const { return _bOutlined; }
    bool transparent() const { return _bTransparent; }

private:
    const VqState* _pState;
    bool _bLighting, _bTwoSided, _bCulling, _bOutlined, _bTransparent;
};

class VQ_API XformState : public VqRefCounted {
public:
    explicit XformState(const VqState* state);
    const VqState* state() const { return _pState; }
    // The matrix of the state's transform at the time this was made.
    const VqMatrix4f& matrix() const { return _mMatrix; }
    // True when the transform replays dynamic transforms: its matrix is to
    // be read from the transform at each use rather than shared.
    bool isDynamicBase() const { return _bDynamicBase; }
    const VqXform* xform() const { return _pXform; }

private:
    const VqState* _pState;
    const VqXform* _pXform;
    VqMatrix4f _mMatrix;
    bool _bDynamicBase;
};

} // namespace Vq

// The appearance and placement in force at one instance of a node: one
// accumulated attribute of each of twelve kinds. Slots are shared
// copy-on-write between states; comparison is cheap so that render lists can
// sort and share states.
class VQ_API VqState : public VqCachedState {
    VQ_DECLARE_TYPE(VqState)
public:
    static constexpr int s_nNumPos = 12;
    static constexpr int s_iPosXform = 0;
    static constexpr int s_iPosTex = 1;
    static constexpr int s_iPosTCG = 2;
    static constexpr int s_iPosCPlane = 3;
    static constexpr int s_iPosFog = 4;
    static constexpr int s_iPosLight = 5;
    static constexpr int s_iPosDStyle = 6;
    static constexpr int s_iPosLStyle = 7;
    static constexpr int s_iPosPStyle = 8;
    static constexpr int s_iPosMtl = 9;
    static constexpr int s_iPosShadFX = 10;
    static constexpr int s_iPosShader = 11;
    static const int s_aiCmpOrder[s_nNumPos];

    // Render flag bits.
    enum : unsigned char { VQ_RF_OPAQUE_DRAWN = 0x01, VQ_RF_TRANSPARENT = 0x02, VQ_RF_ALWAYS = 0x04 };

    VqState();
    VqState(const VqState& o);
    VqState& operator=(const VqState& o);
    ~VqState() override;

    void clear();

    // Offers an attribute met on the path to the slot of its kind.
    bool accumAttribute(const VqAttribute* attr, const VqPath* path);
    bool setAttribute(const VqAttribute* attr);
    bool setAttributes(const Vq::SharedPtrVec<VqAttribute>& attrs);
    void attributes(const Vq::SharedPtr<VqAttribute>*& list, int& count) const {
        list = _apAttrs;
        count = s_nNumPos;
    }
    const VqAttribute* attribute(const VqType& type) const;
    const VqAttribute* attributeAt(int pos) const { return _apAttrs[pos].get(); }

    bool finalize();
    unsigned char ensureRenderFlag() const;
    unsigned char renderFlags() const { return _uRenderFlags; }
    bool apply(VqBitField<1> mask, VqRenderContext& rc) const;

    int compare(const VqState& o) const { return compare(*this, o); }
    int compareQuick(const VqState& o) const { return compareQuick(*this, o); }
    static int compare(const VqState& a, const VqState& b);
    static int compareQuick(const VqState& a, const VqState& b);

    const Vq::LightState* lightState() const { return _pLightState.get(); }
    const Vq::ShapeState* shapeState() const { return _pShapeState.get(); }
    const Vq::XformState* xformState() const { return _pXformState.get(); }
    bool dropCaches(int mask) override;

    static int attributePosition(const VqType& type);
    static uint32_t stateMask(const VqType& type);
    static bool getDefaultAttributes(Vq::SharedPtrVec<VqAttribute>& out);
    static uint32_t shaderMask() { return 1u << s_iPosShader; }
    static uint32_t shaderEffectsMask() { return 1u << s_iPosShadFX; }

    // Creates the default attributes; start-up calls it, and so does the
    // first state made without it.
    static bool init();
    static void fini();

private:
    int _slotOf(const VqAttribute* attr) const;

    mutable unsigned char _uRenderFlags = VQ_RF_ALWAYS;
    Vq::SharedPtr<VqAttribute> _apAttrs[s_nNumPos];
    Vq::SharedPtr<Vq::LightState> _pLightState;
    Vq::SharedPtr<Vq::ShapeState> _pShapeState;
    Vq::SharedPtr<Vq::XformState> _pXformState;

    static bool s_bInitialized;
    static Vq::SharedPtr<VqAttribute>* s_apDefaultAttrs;
};
