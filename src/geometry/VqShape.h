#pragma once

#include "VqExport.h"
#include "VqJSON.h"
#include "VqLateLoadedPropAtom.h"
#include "VqMutex.h"
#include "VqNode.h"
#include "VqShapeImpl.h"

#include <atomic>
#include <cstdint>
#include <vector>

class VqPartition;
class VqStreamMgr;
class VqShapeRequestEntry;
class VqTopoMesh;
class VqPath;

namespace Vq {
// Property keys of result-field visualisations. The first names a string
// value stored with the node, so its text is part of the file format; the
// second a point set built in memory for the vector modes (never stored:
// it is derived from the shape's geometry and rebuilt on demand).
inline constexpr const char* vqPropFieldVis = "VQ_PROP_FIELDVIS";
inline constexpr const char* vqPropVectorVisPointSet = "VQ_PROP_VECTORVIS_POINTSET";
} // namespace Vq

// The leaf of the graph that carries geometry. The node keeps what culling
// and level-of-detail selection need before any geometry is read (box,
// area, vertex, node and polygon counts, bindings, compression level, the
// implementation's size); the geometry itself is the implementation
// (VqShapeImpl), held by a late-loaded property value under
// vqLLPropShapeImpl and stored in a segment of its own: type 6, or 7 + level
// for the levels of an LOD node.
class VQ_API VqShape : public Vq::Record<VqShape, VqNode> {
    VQ_DECLARE_TYPE(VqShape)
public:
    // Change sent to the model context when an implementation is installed.
    static constexpr Vq::BaseChange VQ_CHANGE_IMPL = 8;
    // The persistence tri-state.
    enum : uint8_t { VQ_IMPL_NOT_PERSISTENT = 0, VQ_IMPL_PERSISTENT = 1, VQ_IMPL_UNDETERMINED = 255 };

    explicit VqShape(uint64_t eBindings = 0);
    VqShape(const VqShape& o);
    ~VqShape() override;

    // ---- Identity: a process-wide number from 1, registered while the shape lives.
    uint32_t shapeID() const { return _uShapeID; }
    static bool s_registerShape(VqShape* pShape);
    static void s_unregisterShape(uint32_t id);
    // The shape of an identifier, or null. The caller must know it alive.
    static VqShape* s_lookupShape(uint32_t id);
    // Every shape at or below root, each once however many parents it has,
    // in the order of a depth-first walk.
    static std::vector<VqShape*> shapesBelow(VqNode* root);

    virtual uint64_t getBindings() const { return _eBindings; }
    // The mesh of the loaded implementation, or null.
    virtual VqTopoMesh* topoMesh() const;
    // The mesh to read, and the mesh to edit, which is that of this shape's
    // own implementation (see the non-const ensureImpl); both load the
    // implementation when needed, null without a mesh.
    virtual const VqTopoMesh* constTopoMesh() const;
    virtual VqTopoMesh* nonConstTopoMesh();

    // ---- The implementation
    // The implementation in memory, or null; loads nothing.
    Vq::SharedPtr<VqShapeImpl> impl() const;
    // The implementation, loaded synchronously when needed; null with an
    // error when the load fails (and with success for a stored shape that
    // names no data).
    virtual Vq::SharedPtr<VqShapeImpl> ensureImpl() const;
    Vq::SharedPtr<VqShapeImpl> ensureConstImpl() const { return ensureImpl(); }
    // The implementation to edit: loaded like the const one, then made this
    // shape's own, copied first when other shapes share it (shapes loaded
    // from one segment, or given one implementation), so that they keep
    // what they showed. Null as the const one.
    Vq::SharedPtr<VqShapeImpl> ensureImpl();
    virtual bool isImplLoaded() const;
    // Drops a stored implementation, which a later load brings back; an
    // implementation that exists only in memory stays.
    virtual bool unloadImpl();
    virtual bool setImplModified(bool bModified);
    virtual uint32_t implSize() const;
    virtual uint32_t lastImplSize() const;
    virtual bool setCompressionLevel(float fLevel);
    virtual float compressionLevel() const { return _fCompressionLevel; }
    virtual VqShapeImpl* createImplInstance() const = 0;

    // ---- Result-field visualisations (their drawing is the render layer's)
    enum FieldVisMode : int {
        VQ_FIELDVIS_CONTOUR = 0,
        VQ_FIELDVIS_VECTOR = 1,
        VQ_FIELDVIS_DISPLACEMENT = 2,
        VQ_FIELDVIS_AUXARROW = 3
    };
    // "CAE Contour", "CAE Vector", "CAE Displacement", "CAE AuxArrow"; null
    // for any other number.
    static const char* fieldVisModeName(int eMode);
    // Vector and arrow modes draw at the shape's vertices.
    static bool isVectorFieldVisMode(int eMode) {
        return eMode == VQ_FIELDVIS_VECTOR || eMode == VQ_FIELDVIS_AUXARROW;
    }
    // Sets the visualisation of a mode (replacing one the mode had): the
    // settings must hold the numbers "Scale", "Sentinel Value", "Max
    // Magnitude", "Step", "Multiplication Factor" and "Animation Factor", the
    // array "Color Map", the string "Display Mode", and the number "Bias" or
    // the array "Value Map"; a failure names the member. Other members are
    // kept as given. A vector mode also builds the point set.
    virtual bool addFieldVisualization(int eMode, const Vq::JSON::JSONObject& settings);
    // Removes the visualisation of a mode (success when it had none).
    virtual bool removeFieldVisualization(int eMode);
    bool hasFieldVisualization(int eMode) const;
    // The settings of a mode; false ("eMode") when the mode has none.
    bool fieldVisualization(int eMode, Vq::JSON::JSONObject& out) const;
    // The modes that have a visualisation, ascending.
    std::vector<int> fieldVisualizationModes() const;
    // The points a vector mode draws at (the shape's vertices), built when
    // missing; null without a vector mode.
    Vq::SharedPtr<VqShape> vectorVisPointSet() const;
    // A field set's GUID as the visualisation settings name it.
    static bool fieldSetGUIDString(const VqGUID& guid, VqString& out);
    // 6 without an LOD ancestor, else 7 + min(level, 9).
    virtual int _determineSegType() const;
    // Installs a new implementation, which from then on exists only in
    // memory until it is written.
    virtual bool setImpl(VqShapeImpl* pNewImpl);

    // Loads the stored implementation through inPartition's stream manager
    // and hands it out (null with success when nothing is stored).
    bool loadImpl(VqPartition* inPartition, Vq::SharedPtr<VqShapeImpl>& outImpl) const;
    // Asks for the implementation: a shape built in memory gets an empty one;
    // a stored one is requested from the residency request manager, urgently
    // and waited for when immediate (hooked up on return), else at priority 0
    // for a later execute to hook up; false when the request is not taken.
    bool loadImpl(bool immediate) const;
    // Installs what loadImpl(VqPartition*, ...) handed out, on the thread that
    // owns the graph (a load may run elsewhere): the late-loaded value keeps
    // its segment, so the implementation can be dropped and loaded again.
    bool hookUpLoadedImpl(const Vq::SharedPtr<VqShapeImpl>& impl) const;

    // -1 (undetermined), 0 (in memory only) or 1 (stored).
    bool setImplPersistent(int bPersistent);
    bool isImplPersistent() const;
    // Marks the implementation as used now (for the alias table's ageing).
    void touchImpl() const;

    static bool setDefaultCompressionLevel(float fLevel);
    static float defaultCompressionLevel() { return s_fDefaultCompressionLevel; }

    // Seconds spent in loads and the number of loads, process-wide.
    static std::atomic<double> s_TotalTime;
    static std::atomic<int64_t> s_TotalShapes;

    // ---- Node hooks
    bool writeLLData(VqLLSegmentIO& io) const override;
    bool shrink() const override;
    bool prepareForSerialize() const override;
    bool prepareForSerialize(VqPartition& within) const override;
    bool writeData(VqObjectStream& os) const override;
    bool loadShapeData(VqPartition& within) const override;
    // A stored implementation unchanged since it was read, at the level it
    // was stored for, may be copied unread.
    bool mayCopyStoredLLData(const VqLateLoadedPropAtom& ll) const override;
    bool computeBBox(VqBox3<float>& box, unsigned int key, bool useCache) const override;
    // World coordinates of the instance key names. With the geometry in
    // memory: the box of the placed vertices (tighter than a placed box) and
    // the area of the placed surface (exact under any placement, shear
    // included); without it, the node's estimate from its stored box and
    // area, so that a box query never reads geometry.
    bool computeBBoxAreaWC(unsigned int key, VqBox3<float>* box, float* area) const override;
    virtual bool computeBBoxWC(unsigned int key, VqBox3<float>& box) const;
    virtual bool computeAreaWC(unsigned int key, float& area) const;
    // The area of the surface placed by the transforms along path, which
    // ends at this shape, reading the geometry when needed; -1 for a shape
    // without a surface (lines, points, no mesh).
    virtual bool computeScaledArea(const VqPath& path, float& area) const;
    float _computeAreaRaw() const override;
    VqFixedVec<int, 2> computeNumPolygons() const override;
    VqFixedVec<int, 2> computeNumVertices() const override;
    // A change of the connected implementation's geometry drops the node's
    // box, area and counts.
    bool receiveNotification(const VqBase* who, Vq::BaseChange change) const override;
    // The node's, and that of the implementation in memory: what a file must
    // hold is mostly geometry.
    void _getMinimumVQVersion(int& major, int& minor) const override;

    // The node's level (see VqShape.cpp for the layouts).
    bool _writeFields(VqObjectStream& os, const Vq::RecordFormat& fmt) const;
    bool _readFields(VqObjectStream& os, const Vq::RecordFormat& fmt, int localVersion);

protected:
    friend class VqShapeRequestEntry;

    // The value under vqLLPropShapeImpl: null when there is none; false
    // ("pLLVal") when the value there is of another kind.
    bool _llValue(Vq::SharedPtr<VqLateLoadedPropAtom>& out, const char* method) const;
    void _disconnect() const;
    void _installed() const;
    void _invalidateHook() const override;
    // Area of the implementation as the node reports it.
    virtual float _implArea(const VqShapeImpl& impl) const { return impl.area(); }
    // What a kind adds to an empty implementation made for a shape built in
    // memory, and to a loaded one of a format 8.0 file.
    virtual bool _prepareNewImpl(VqShapeImpl&) const { return true; }
    virtual void _fixupBindings(const VqShapeImpl&) const {}
    // The compression level given to the loaded implementation.
    virtual bool _applyCompressionLevel(VqShapeImpl&) const { return true; }
    // Gives an implementation just loaded the level set while it was not in
    // memory, which makes it one to write afresh.
    bool _applyPendingLevel(VqShapeImpl& impl) const;
    // The implementation, loading it through within (or the shape's own
    // partition when null) if it is stored; null with success when nothing
    // is stored.
    bool _ensureImpl(VqPartition* within, Vq::SharedPtr<VqShapeImpl>& out) const;
    // The implementation in memory made this shape's own (see the non-const
    // ensureImpl); null with success when there is none.
    bool _ownImpl(Vq::SharedPtr<VqShapeImpl>& out, const char* method) const;
    // Makes ll refer to the holder entry of another shape connected to impl.
    void _shareHolderOf(const VqShapeImpl& impl, VqLateLoadedPropAtom& ll) const;
    // The segment the value names, read under the lock.
    void _storedSegment(const VqLateLoadedPropAtom& ll, VqGUID& guid, int& segType) const;
    // Reads the implementation of a segment through io, into holder.
    static bool _loadSegment(VqLLSegmentIO& io, const VqGUID& guid, int segType,
                             Vq::SharedPtr<VqLateLoadedPropAtom>& holder, Vq::SharedPtr<VqShapeImpl>& out);
    // Gives ll the implementation loaded from its segment guid; impl becomes
    // what ll holds then.
    bool _adoptLoaded(VqLateLoadedPropAtom& ll, const VqGUID& guid, uint32_t alias,
                      Vq::SharedPtr<VqShapeImpl>& impl) const;
    bool _prepareShape(VqPartition* within) const;
    // The placement of the path's tail in world coordinates.
    VqSquareMatrix<double, 4> _worldMatrix(const VqPath& path) const;
    // Box and area of the geometry impl holds, placed by m; the area is -1
    // without a surface.
    static void _placedGeometry(const VqShapeImpl& impl, const VqSquareMatrix<double, 4>& m,
                                VqBox3<float>* box, float* area);
    // The stored visualisations, mode name to settings (empty without any).
    bool _fieldVisTable(Vq::JSON::JSONObject& out) const;
    bool _setFieldVisTable(const Vq::JSON::JSONObject& table);
    bool _buildVectorVisPointSet(Vq::SharedPtr<VqShape>& out) const;
    // Formats 6.4-7.x: the implementation written ahead of the graph at a
    // file position the node's record names, and read back from there.
    bool _writeImplAtPosition(VqObjectStream& os) const;
    bool _loadImplAtPosition(VqPartition& within, int major, Vq::SharedPtr<VqShapeImpl>& out) const;
    // Where within keeps this shape's implementation, or -1.
    int64_t _legacyImplPos(const VqPartition& within) const;
    // Reads the implementation at pos through mgr; touches no shape, so that
    // it may run on a loader thread.
    static bool _readImplAt(VqStreamMgr& mgr, int major, int64_t pos, Vq::SharedPtr<VqShapeImpl>& out);
    // Gives the shape's late-loaded value the implementation read from pos.
    bool _adoptReadAt(VqShapeImpl& loaded) const;

    float _fCompressionLevel;
    mutable uint8_t _uImplPersistent = VQ_IMPL_UNDETERMINED;
    mutable uint64_t _uImplStreamPos = ~uint64_t(0);
    mutable uint32_t _uImplSize = ~0u;
    mutable uint32_t _uLastImplSize = ~0u;
    // The level changed while the stored implementation was not in memory:
    // its stored bytes are of the old level, so it may not be copied unread.
    mutable bool _bLevelPending = false;
    // Where a format 6.4-7.x file keeps the implementation; -1 for none.
    mutable int32_t _iLegacySID = -1;
    uint64_t _eBindings;
    // The late-loaded value whose holder has the implementation; null while
    // the shape has none. Guarded by _mxImpl together with that value's
    // binding to its object: whether a shape is loaded is asked from any
    // thread that requests it (under the request queue's lock), while the
    // application thread installs, unloads and replaces. Loader threads never
    // read the shape: a request copies what the load needs when it is made.
    mutable Vq::SharedPtr<VqLateLoadedPropAtom> _pGoatPtr;
    mutable VqMutex _mxImpl;
    // The implementation this shape is a notification client of.
    mutable const VqShapeImpl* _pConnected = nullptr;
    uint32_t _uShapeID;

    static float s_fDefaultCompressionLevel;
};
