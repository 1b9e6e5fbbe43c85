#pragma once

#include "VqBaseStream.h"
#include "VqBitField.h"
#include "VqExport.h"
#include "VqFixedVec.h"
#include "VqGUID.h"
#include "VqSquareMatrix.h"

#include <cstring>
#include <vector>

class VqString;

// Typed reads and writes of every primitive of the file format, byte order
// handling and bit packing, over the byte operations of a subclass.
//
// Values are written in the host's byte order; reads swap when the stream's
// order differs from the host's. Every typed operation returns success; a
// failure has been recorded in the error state (a short read is "Short read",
// code 13). Counts read from the stream are checked against what the stream
// can still deliver before anything is allocated for them.
//
// Fast path: a subclass that holds bytes in memory may expose them as a get
// window [_pGetCur, _pGetEnd) and a put window [_pPutCur, _pPutEnd). Typed
// operations then copy straight from or into the window and call the virtual
// byte operations only when it cannot serve the request. A subclass that sets
// a window must account for the bytes consumed or produced through it in its
// own readBytes, writeBytes, seek and getPosition.
class VQ_API VqBaseDataStream : public VqBaseStream {
    VQ_DECLARE_TYPE(VqBaseDataStream)
public:
    typedef VqByteOrder ByteOrder;

    VqBaseDataStream();

    // Stores the order; the stream swaps when it differs from the host's (so
    // NoOrder swaps). Single bytes and byte arrays are never affected.
    virtual void setByteOrder(ByteOrder order);
    ByteOrder byteOrder() const { return _eByteOrder; }
    bool isSwapping() const { return _bSwap; }
    // Hands buffered bytes on; the default holds none.
    virtual bool _flush() { return true; }

    // Scalars. bool is written as a 32-bit 0 or 1; any nonzero value reads as true.
    bool write(bool v) { return _putScalar<int32_t>(v ? 1 : 0); }
    bool write(char v) { return _put(&v, 1); }
    bool write(unsigned char v) { return _put(&v, 1); }
    bool write(short v) { return _putScalar(v); }
    bool write(unsigned short v) { return _putScalar(v); }
    bool write(int v) { return _putScalar(v); }
    bool write(unsigned int v) { return _putScalar(v); }
    bool write(long v) { return _putScalar(v); }
    bool write(unsigned long v) { return _putScalar(v); }
    bool write(float v) { return _putScalar(v); }
    bool write(double v) { return _putScalar(v); }
    // The 32-bit word of the field.
    bool write(VqBitField<1> v) { return _putScalar(v.bits()); }
    // A 32-bit, two 16-bit fields, then eight single bytes.
    bool write(const VqGUID& v) { return _put(&v, sizeof(VqGUID)); }
    // A 32-bit signed count of UCS-2 code units, then the units; "" is four zero bytes.
    bool write(const VqString& v);
    // A pointer would silently convert to bool: reject it at compile time.
    template <class T>
    bool write(const T*) = delete;

    bool read(bool* v);
    bool read(char* v) { return _get(v, 1); }
    bool read(unsigned char* v) { return _get(v, 1); }
    bool read(short* v) { return _getScalar(v); }
    bool read(unsigned short* v) { return _getScalar(v); }
    bool read(int* v) { return _getScalar(v); }
    bool read(unsigned int* v) { return _getScalar(v); }
    bool read(long* v) { return _getScalar(v); }
    bool read(unsigned long* v) { return _getScalar(v); }
    bool read(float* v) { return _getScalar(v); }
    bool read(double* v) { return _getScalar(v); }
    bool read(VqBitField<1>* v);
    // Every element starts with one: inline.
    bool read(VqGUID& v) {
        if (!_get(&v, sizeof(VqGUID))) return false;
        if (_bSwap) s_byteSwap(v);
        return true;
    }
    bool read(VqString& v);

    // Arrays: n elements, no count.
    bool write(const bool* v, int n);
    bool write(const char* v, int n) { return _putArray(v, n); }
    bool write(const unsigned char* v, int n) { return _putArray(v, n); }
    bool write(const short* v, int n) { return _putArray(v, n); }
    bool write(const unsigned short* v, int n) { return _putArray(v, n); }
    bool write(const int* v, int n) { return _putArray(v, n); }
    bool write(const unsigned int* v, int n) { return _putArray(v, n); }
    bool write(const long* v, int n) { return _putArray(v, n); }
    bool write(const unsigned long* v, int n) { return _putArray(v, n); }
    bool write(const float* v, int n) { return _putArray(v, n); }
    bool write(const double* v, int n) { return _putArray(v, n); }
    bool write(const VqGUID* v, int n) { return _putArray(v, n); }
    bool write(const VqString* v, int n);

    bool read(bool* v, int n);
    bool read(char* v, int n) { return _getArray(v, n); }
    bool read(unsigned char* v, int n) { return _getArray(v, n); }
    bool read(short* v, int n) { return _getArray(v, n); }
    bool read(unsigned short* v, int n) { return _getArray(v, n); }
    bool read(int* v, int n) { return _getArray(v, n); }
    bool read(unsigned int* v, int n) { return _getArray(v, n); }
    bool read(long* v, int n) { return _getArray(v, n); }
    bool read(unsigned long* v, int n) { return _getArray(v, n); }
    bool read(float* v, int n) { return _getArray(v, n); }
    bool read(double* v, int n) { return _getArray(v, n); }
    bool read(VqGUID* v, int n);
    bool read(VqString* v, int n);

    // Vectors: a 32-bit signed count, then the elements. Either allocator:
    // the library's own arrays leave growth unset where they are written.
    template <class A = std::allocator<float>>
    bool writeVecf(const std::vector<float, A>& v) {
        return _putVec(v);
    }
    template <class A = std::allocator<double>>
    bool writeVecd(const std::vector<double, A>& v) {
        return _putVec(v);
    }
    template <class A = std::allocator<unsigned short>>
    bool writeVecus(const std::vector<unsigned short, A>& v) {
        return _putVec(v);
    }
    template <class A = std::allocator<short>>
    bool writeVecs(const std::vector<short, A>& v) {
        return _putVec(v);
    }
    template <class A = std::allocator<unsigned int>>
    bool writeVecu(const std::vector<unsigned int, A>& v) {
        return _putVec(v);
    }
    template <class A = std::allocator<int>>
    bool writeVeci(const std::vector<int, A>& v) {
        return _putVec(v);
    }
    template <class A = std::allocator<unsigned long>>
    bool writeVeclu(const std::vector<unsigned long, A>& v) {
        return _putVec(v);
    }
    template <class A = std::allocator<long>>
    bool writeVecl(const std::vector<long, A>& v) {
        return _putVec(v);
    }
    template <class A = std::allocator<unsigned char>>
    bool writeVecuc(const std::vector<unsigned char, A>& v) {
        return _putVec(v);
    }
    bool writeVVec3f(const std::vector<VqVec3f>& v);

    template <class A = std::allocator<float>>
    bool readVecf(std::vector<float, A>& v) {
        return _getVec(v);
    }
    template <class A = std::allocator<double>>
    bool readVecd(std::vector<double, A>& v) {
        return _getVec(v);
    }
    template <class A = std::allocator<unsigned short>>
    bool readVecus(std::vector<unsigned short, A>& v) {
        return _getVec(v);
    }
    template <class A = std::allocator<short>>
    bool readVecs(std::vector<short, A>& v) {
        return _getVec(v);
    }
    template <class A = std::allocator<unsigned int>>
    bool readVecu(std::vector<unsigned int, A>& v) {
        return _getVec(v);
    }
    template <class A = std::allocator<int>>
    bool readVeci(std::vector<int, A>& v) {
        return _getVec(v);
    }
    template <class A = std::allocator<unsigned long>>
    bool readVeclu(std::vector<unsigned long, A>& v) {
        return _getVec(v);
    }
    template <class A = std::allocator<long>>
    bool readVecl(std::vector<long, A>& v) {
        return _getVec(v);
    }
    template <class A = std::allocator<unsigned char>>
    bool readVecuc(std::vector<unsigned char, A>& v) {
        return _getVec(v);
    }
    bool readVVec3f(std::vector<VqVec3f>& v);

    // Reads a 32-bit element count and checks it: negative is "len >= 0",
    // more elements of elemSize bytes than the stream can still deliver is
    // "Short read". For containers that read their own elements.
    bool readLength(int& len, VqSize elemSize);

    // Fixed vectors and matrices: the elements in order, no count.
    bool writeVec2f(const VqVec2f& v) { return _putArray(v.data(), 2); }
    bool writeVec3f(const VqVec3f& v) { return _putArray(v.data(), 3); }
    bool writeVec4f(const VqVec4f& v) { return _putArray(v.data(), 4); }
    bool writeVec2i(const VqFixedVec<int, 2>& v) { return _putArray(v.data(), 2); }
    bool writeVec3i(const VqFixedVec<int, 3>& v) { return _putArray(v.data(), 3); }
    bool writeMatrix4f(const VqMatrix4f& m) { return _putArray(&m.m[0][0], 16); }
    bool writeMatrix4d(const VqMatrix4d& m) { return _putArray(&m.m[0][0], 16); }
    bool readVec2f(VqVec2f& v) { return _getArray(v.data(), 2); }
    bool readVec3f(VqVec3f& v) { return _getArray(v.data(), 3); }
    bool readVec4f(VqVec4f& v) { return _getArray(v.data(), 4); }
    bool readVec2i(VqFixedVec<int, 2>& v) { return _getArray(v.data(), 2); }
    bool readVec3i(VqFixedVec<int, 3>& v) { return _getArray(v.data(), 3); }
    bool readMatrix4f(VqMatrix4f& m) { return _getArray(&m.m[0][0], 16); }
    bool readMatrix4d(VqMatrix4d& m) { return _getArray(&m.m[0][0], 16); }

    // Bit packing, most significant bit first. writeBits appends the low
    // nBits (0 to 32) of value and writes every completed byte;
    // writeAlignmentBits pads with zero bits to the next byte boundary. The
    // 64-bit forms take 0 to 64 bits, the low 32 first. Bit and byte access
    // must not be mixed without realigning.
    bool writeBits(unsigned int value, int nBits);
    bool writeBits64(unsigned long value, int nBits);
    bool writeAlignmentBits();
    bool readBits(unsigned int& value, int nBits);
    bool readBits64(unsigned long& value, int nBits);
    // Drops the bits left over from the last byte read.
    void readAlignmentBits() { _nBitCount = 0; }
    // The same, and whether the dropped bits were zeros, as writers pad.
    bool readZeroAlignmentBits() {
        const bool bZero = _nBitCount == 0 || (_uBitBuffer & ((uint32_t(1) << _nBitCount) - 1)) == 0;
        _nBitCount = 0;
        return bZero;
    }

    static void s_byteSwap(short* v, int n) { s_byteSwap(reinterpret_cast<unsigned short*>(v), n); }
    static void s_byteSwap(unsigned short* v, int n);
    static void s_byteSwap(int* v, int n) { s_byteSwap(reinterpret_cast<unsigned int*>(v), n); }
    static void s_byteSwap(unsigned int* v, int n);
    static void s_byteSwap(float* v, int n) { s_byteSwap(reinterpret_cast<unsigned int*>(v), n); }
    static void s_byteSwap(long* v, int n) { s_byteSwap(reinterpret_cast<unsigned long*>(v), n); }
    static void s_byteSwap(unsigned long* v, int n);
    static void s_byteSwap(double* v, int n) { s_byteSwap(reinterpret_cast<unsigned long*>(v), n); }
    // The GUID's three numeric fields; the eight bytes stay as they are.
    static void s_byteSwap(VqGUID& v);
    // Exchanges the two 32-bit halves of each value.
    static void s_wordSwap(unsigned long* v, int n);
    // Swaps only when this stream swaps.
    template <class T>
    void swapCheck(T* v, int n) const {
        if (_bSwap) s_byteSwap(v, n);
    }
    static ByteOrder s_systemByteOrder();

protected:
    // The two windows of the fast path (see the class comment).
    const VqUChar* _pGetCur = nullptr;
    const VqUChar* _pGetEnd = nullptr;
    VqUChar* _pPutCur = nullptr;
    VqUChar* _pPutEnd = nullptr;

    bool _get(void* dst, VqSize n) {
        if (static_cast<VqSize>(_pGetEnd - _pGetCur) >= n) {
            std::memcpy(dst, _pGetCur, n);
            _pGetCur += n;
            return true;
        }
        return _getSlow(dst, n);
    }
    bool _put(const void* src, VqSize n) {
        if (static_cast<VqSize>(_pPutEnd - _pPutCur) >= n) {
            std::memcpy(_pPutCur, src, n);
            _pPutCur += n;
            return true;
        }
        return _putSlow(src, n);
    }

private:
    bool _getSlow(void* dst, VqSize n);
    bool _putSlow(const void* src, VqSize n);
    bool _checkLength(int len, VqSize elemSize);

    template <class T>
    bool _putScalar(T v) {
        return _put(&v, sizeof(T));
    }
    template <class T>
    bool _getScalar(T* v) {
        if (!_get(v, sizeof(T))) return false;
        if (_bSwap) s_byteSwap(v, 1);
        return true;
    }
    template <class T>
    bool _putArray(const T* v, int n);
    template <class T>
    bool _getArray(T* v, int n);
    template <class T, class A>
    bool _putVec(const std::vector<T, A>& v);
    template <class T, class A>
    bool _getVec(std::vector<T, A>& v);

    ByteOrder _eByteOrder;
    bool _bSwap = false;
    uint32_t _uBitBuffer = 0;
    int _nBitCount = 0;
};
