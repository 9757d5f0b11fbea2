// The host calls the client's operations by their position in the table of
// ITarvikClient, so the order of the declarations in tarvik.h is part of the
// binary contract. These tests call every slot by its number.
//
// How a slot is called here: on the Itanium C++ ABI (gcc and clang on Linux)
// an object with virtual functions starts with a pointer to its table, the
// table holds one function pointer per virtual function in declaration order
// (ITarvikClient has no virtual destructor, so nothing else comes first), and
// a member function receives `this` as a hidden first argument ahead of the
// declared ones. So entry i, cast to a plain function taking the object
// pointer first, is slot i as the host sees it. On 32-bit Windows the same
// holds with the member convention __thiscall (this in ECX, the callee pops
// the arguments), so there the plain function is declared thiscall. This
// trick belongs to this test alone.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <type_traits>
#include <vector>

#include "client/shared_registry.h"
#include "platform/platform.h"
#include "tarvik/tarvik.h"

static_assert(sizeof(VarValue) == 9, "VarValue is 9 bytes");
static_assert(offsetof(VarValue, tag) == 0, "tag at byte 0");
static_assert(offsetof(VarValue, u) == 1, "payload at byte 1");
static_assert(sizeof(VarValue[3]) == 27, "arrays of VarValue have no padding");
static_assert(std::is_polymorphic<ITarvikClient>::value, "ITarvikClient is an interface");
static_assert(!std::has_virtual_destructor<ITarvikClient>::value,
              "a client is destroyed only through TarvikDestroyClient");

namespace {

#if defined(__GXX_ABI_VERSION)
#define TARVIK_SLOT_CALLS 1
#else
#define TARVIK_SLOT_CALLS 0
#endif
#if defined(_WIN32) && defined(__i386__)
#define TARVIK_SLOT_CONVENTION __attribute__((thiscall))
#else
#define TARVIK_SLOT_CONVENTION
#endif

// One recorded call: the slot number the operation carries in the documented
// table, and its arguments (integers and pointers, then doubles).
struct Call {
    int slot = -1;
    std::vector<int64_t> ints;
    std::vector<double> reals;
};

inline void Put(Call& c, double v) {
    c.reals.push_back(v);
}
template <typename T>
void Put(Call& c, T* p) {
    c.ints.push_back(static_cast<int64_t>(reinterpret_cast<intptr_t>(p)));
}
template <typename T, typename = std::enable_if_t<std::is_integral<T>::value>>
void Put(Call& c, T v) {
    c.ints.push_back(static_cast<int64_t>(v));
}

// The plain function that slot `M` is, called with the object first.
template <typename M>
struct SlotFn;
template <typename R, typename... A>
struct SlotFn<R (ITarvikClient::*)(A...)> {
    using Type = R(TARVIK_SLOT_CONVENTION*)(ITarvikClient*, A...);
    using Result = R;
    static Call Expect(int slot, A... args) {
        Call c;
        c.slot = slot;
        (Put(c, args), ...);
        return c;
    }
};

#define SLOT(method) decltype(&ITarvikClient::method)

#if defined(__clang__)
// The call deliberately goes through a function type other than the member's.
#define TARVIK_NO_SANITIZE_FUNCTION __attribute__((no_sanitize("function")))
#else
#define TARVIK_NO_SANITIZE_FUNCTION
#endif

template <typename M, typename... Args>
TARVIK_NO_SANITIZE_FUNCTION typename SlotFn<M>::Result CallSlot(ITarvikClient* object, int slot,
                                                                Args... args) {
    using Fn = typename SlotFn<M>::Type;
    const unsigned char* table = nullptr;
    std::memcpy(&table, static_cast<const void*>(object), sizeof table);
    Fn fn = nullptr;
    std::memcpy(&fn, table + static_cast<size_t>(slot) * sizeof(void*), sizeof fn);
    return fn(object, args...);
}

// Implements every operation by recording its documented slot number and its
// arguments. int32 operations return 1000 + slot, bool operations true.
class RecordingClient final : public ITarvikClient {
  public:
    std::vector<Call> calls;

    template <typename... A>
    void Rec(int slot, A... args) {
        Call c;
        c.slot = slot;
        (Put(c, args), ...);
        calls.push_back(c);
    }

    void SetUserData(int32_t v) override { Rec(0, v); }
    void SetStateCallback(StateCallback cb) override { Rec(1, cb); }
    void SetDataCallback(DataCallback cb) override { Rec(2, cb); }
    bool ConnectRemote(int32_t port, const char* host, const char* backupHost,
                       int32_t backupPort) override {
        Rec(3, port, host, backupHost, backupPort);
        return true;
    }
    bool ConnectLocal() override {
        Rec(4);
        return true;
    }
    void Disconnect() override { Rec(5); }
    bool GetServerFlag() override {
        Rec(6);
        return true;
    }
    bool IsLinkUp() override {
        Rec(7);
        return true;
    }
    int32_t GetState() override { return R(8); }
    void SetRequestTimeout(int32_t ms) override { Rec(9, ms); }
    int32_t GetRequestTimeout() override { return R(10); }
    void SetHeartbeatInterval(int32_t ms) override { Rec(11, ms); }
    int32_t GetHeartbeatInterval() override { return R(12); }
    void GetLastErrorText(char* buffer, int32_t size) override { Rec(13, buffer, size); }
    int32_t GetPointCount() override { return R(14); }
    int32_t EnumPoints(int32_t a, int32_t* b, char* c, int32_t* d, int32_t* e) override {
        return R(15, a, b, c, d, e);
    }
    int32_t GetTypeCount() override { return R(16); }
    int32_t EnumTypes(int32_t a, int32_t* b, int32_t* c) override { return R(17, a, b, c); }
    int32_t GetFieldCounts(int32_t a, const int32_t* b, int32_t* c) override {
        return R(18, a, b, c);
    }
    int32_t EnumFields(int32_t a, int32_t b, int32_t* c, int32_t* d, char* e) override {
        return R(19, a, b, c, d, e);
    }
    int32_t GetFieldNosByName(int32_t a, int32_t b, const char* c, int32_t* d) override {
        return R(20, a, b, c, d);
    }
    int32_t GetFieldNamesByNo(int32_t a, int32_t b, const int32_t* c, char* d) override {
        return R(21, a, b, c, d);
    }
    int32_t GetFieldTypesByNo(int32_t a, int32_t b, const int32_t* c, int32_t* d) override {
        return R(22, a, b, c, d);
    }
    int32_t GetPointIndexesByName(int32_t a, const char* b, int32_t* c) override {
        return R(23, a, b, c);
    }
    int32_t GetPointNamesByIndex(int32_t a, const int32_t* b, char* c) override {
        return R(24, a, b, c);
    }
    int32_t GetPointAuxByIndex(int32_t a, const int32_t* b, int32_t* c) override {
        return R(25, a, b, c);
    }
    int32_t GetPointTypesByIndex(int32_t a, const int32_t* b, int32_t* c) override {
        return R(26, a, b, c);
    }
    int32_t ResolveItemNames(int32_t a, const char* b, int32_t* c, int32_t* d) override {
        return R(27, a, b, c, d);
    }
    int32_t FormatItemNames(int32_t a, const int32_t* b, const int32_t* c, char* d) override {
        return R(28, a, b, c, d);
    }
    int32_t GetItemTypesByName(int32_t a, const char* b, int32_t* c) override {
        return R(29, a, b, c);
    }
    int32_t ReadValues(uint32_t a, const uint32_t* b, const uint32_t* c, VarValue* d) override {
        return R(30, a, b, c, d);
    }
    int32_t WriteValues(uint32_t a, const uint32_t* b, const uint32_t* c,
                        const VarValue* d) override {
        return R(31, a, b, c, d);
    }
    int32_t ReadHistory(double a, double b, uint32_t c, uint32_t d, const uint32_t* e,
                        const uint32_t* f, double* g) override {
        return R(32, a, b, c, d, e, f, g);
    }
    int32_t WriteHistory(uint32_t a, uint32_t b, uint32_t c, const double* d, const uint16_t* e,
                         const double* f) override {
        return R(33, a, b, c, d, e, f);
    }
    int32_t Advise(uint32_t a, const uint32_t* b, const uint32_t* c, const int32_t* d,
                   int32_t* e) override {
        return R(34, a, b, c, d, e);
    }
    int32_t Unadvise(uint32_t a, const int32_t* b) override { return R(35, a, b); }
    int32_t UnadviseAll() override { return R(36); }
    int32_t GetAdviseItemCount() override { return R(37); }
    int32_t GetAdviseInfoByHandle(int32_t a, const int32_t* b, int32_t* c, int32_t* d,
                                  int32_t* e) override {
        return R(38, a, b, c, d, e);
    }
    int32_t EnumAdviseItems(int32_t a, int32_t* b, int32_t* c) override { return R(39, a, b, c); }
    int32_t GetAdviseHandleCount() override { return R(40); }
    int32_t EnumAdviseHandles(int32_t a, int32_t* b, int32_t* c) override { return R(41, a, b, c); }
    int32_t GetAdviseCounts(int32_t a, const int32_t* b, const int32_t* c, int32_t* d) override {
        return R(42, a, b, c, d);
    }
    int32_t GetAdviseHandles(int32_t a, int32_t b, int32_t c, int32_t* d, int32_t* e) override {
        return R(43, a, b, c, d, e);
    }
    int32_t GetValuesByHandle(int32_t a, const int32_t* b, VarValue* c) override {
        return R(44, a, b, c);
    }
    int32_t GetValuesByItem(int32_t a, const int32_t* b, const int32_t* c, VarValue* d) override {
        return R(45, a, b, c, d);
    }
    int32_t ReadHistoryRaw(double a, double b, uint32_t c, uint32_t d, double** e, uint16_t** f,
                           double** g) override {
        return R(46, a, b, c, d, e, f, g);
    }

  private:
    template <typename... A>
    int32_t R(int slot, A... args) {
        Rec(slot, args...);
        return 1000 + slot;
    }
};

void TARVIK_CALL StateSink(ITarvikClient*, TarvikUserData, int32_t) {}
void TARVIK_CALL DataSink(ITarvikClient*, TarvikUserData, int32_t, const int32_t*, const int32_t*,
                          const VarValue*) {}

class SlotTableTest : public ::testing::Test {
  protected:
    void SetUp() override {
#if !TARVIK_SLOT_CALLS
        GTEST_SKIP() << "calls by table position need the Itanium C++ ABI";
#endif
    }
    void TearDown() override {
        tarvik::plat::MappingRemove(tarvik::CSharedRegistry::kMappingName);
    }

    // Calls `slot` of the fake and checks that the operation documented for
    // that slot ran, with these arguments, and that its result came back.
    template <typename M, typename... Args>
    void Check(int slot, Args... args) {
        fake_.calls.clear();
        using Result = typename SlotFn<M>::Result;
        if constexpr (std::is_void<Result>::value) {
            CallSlot<M>(&fake_, slot, args...);
        } else {
            const Result got = CallSlot<M>(&fake_, slot, args...);
            if constexpr (std::is_same<Result, bool>::value) {
                EXPECT_TRUE(got) << "slot " << slot;
            } else {
                EXPECT_EQ(got, 1000 + slot) << "slot " << slot;
            }
        }
        ASSERT_EQ(fake_.calls.size(), 1u) << "slot " << slot;
        const Call want = SlotFn<M>::Expect(slot, args...);
        EXPECT_EQ(fake_.calls[0].slot, slot) << "slot " << slot;
        EXPECT_EQ(fake_.calls[0].ints, want.ints) << "slot " << slot;
        EXPECT_EQ(fake_.calls[0].reals, want.reals) << "slot " << slot;
        ++checked_;
    }

    RecordingClient fake_;
    int checked_ = 0;
};

TEST_F(SlotTableTest, EverySlotReachesItsOperationWithItsArguments) {
    int32_t i1[4], i2[4], i3[4], i4[4];
    uint32_t u1[4], u2[4];
    char names[64];
    const char* host = "primary";
    const char* backup = "backup";
    VarValue values[2];
    double d1[4];
    uint16_t statuses[4];
    double* pTimes = nullptr;
    uint16_t* pStatuses = nullptr;
    double* pValues = nullptr;

    Check<SLOT(SetUserData)>(0, -123456);
    Check<SLOT(SetStateCallback)>(1, &StateSink);
    Check<SLOT(SetDataCallback)>(2, &DataSink);
    Check<SLOT(ConnectRemote)>(3, 4001, host, backup, 4002);
    Check<SLOT(ConnectLocal)>(4);
    Check<SLOT(Disconnect)>(5);
    Check<SLOT(GetServerFlag)>(6);
    Check<SLOT(IsLinkUp)>(7);
    Check<SLOT(GetState)>(8);
    Check<SLOT(SetRequestTimeout)>(9, 7500);
    Check<SLOT(GetRequestTimeout)>(10);
    Check<SLOT(SetHeartbeatInterval)>(11, -250);
    Check<SLOT(GetHeartbeatInterval)>(12);
    Check<SLOT(GetLastErrorText)>(13, names, 64);
    Check<SLOT(GetPointCount)>(14);
    Check<SLOT(EnumPoints)>(15, 3, i1, names, i2, i3);
    Check<SLOT(GetTypeCount)>(16);
    Check<SLOT(EnumTypes)>(17, 4, i1, i2);
    Check<SLOT(GetFieldCounts)>(18, 2, static_cast<const int32_t*>(i1), i2);
    Check<SLOT(EnumFields)>(19, 77, 5, i1, i2, names);
    Check<SLOT(GetFieldNosByName)>(20, 78, 6, static_cast<const char*>(names), i1);
    Check<SLOT(GetFieldNamesByNo)>(21, 79, 7, static_cast<const int32_t*>(i1), names);
    Check<SLOT(GetFieldTypesByNo)>(22, 80, 8, static_cast<const int32_t*>(i1), i2);
    Check<SLOT(GetPointIndexesByName)>(23, 9, static_cast<const char*>(names), i1);
    Check<SLOT(GetPointNamesByIndex)>(24, 10, static_cast<const int32_t*>(i1), names);
    Check<SLOT(GetPointAuxByIndex)>(25, 11, static_cast<const int32_t*>(i1), i2);
    Check<SLOT(GetPointTypesByIndex)>(26, 12, static_cast<const int32_t*>(i1), i2);
    Check<SLOT(ResolveItemNames)>(27, 13, static_cast<const char*>(names), i1, i2);
    Check<SLOT(FormatItemNames)>(28, 14, static_cast<const int32_t*>(i1),
                                 static_cast<const int32_t*>(i2), names);
    Check<SLOT(GetItemTypesByName)>(29, 15, static_cast<const char*>(names), i1);
    Check<SLOT(ReadValues)>(30, 16u, static_cast<const uint32_t*>(u1),
                            static_cast<const uint32_t*>(u2), values);
    Check<SLOT(WriteValues)>(31, 17u, static_cast<const uint32_t*>(u1),
                             static_cast<const uint32_t*>(u2),
                             static_cast<const VarValue*>(values));
    Check<SLOT(ReadHistory)>(32, 45000.25, 45001.75, 60u, 2u, static_cast<const uint32_t*>(u1),
                             static_cast<const uint32_t*>(u2), d1);
    Check<SLOT(WriteHistory)>(33, 18u, 19u, 3u, static_cast<const double*>(d1),
                              static_cast<const uint16_t*>(statuses),
                              static_cast<const double*>(d1 + 1));
    Check<SLOT(Advise)>(34, 20u, static_cast<const uint32_t*>(u1), static_cast<const uint32_t*>(u2),
                        static_cast<const int32_t*>(i1), i2);
    Check<SLOT(Unadvise)>(35, 21u, static_cast<const int32_t*>(i1));
    Check<SLOT(UnadviseAll)>(36);
    Check<SLOT(GetAdviseItemCount)>(37);
    Check<SLOT(GetAdviseInfoByHandle)>(38, 22, static_cast<const int32_t*>(i1), i2, i3, i4);
    Check<SLOT(EnumAdviseItems)>(39, 23, i1, i2);
    Check<SLOT(GetAdviseHandleCount)>(40);
    Check<SLOT(EnumAdviseHandles)>(41, 24, i1, i2);
    Check<SLOT(GetAdviseCounts)>(42, 25, static_cast<const int32_t*>(i1),
                                 static_cast<const int32_t*>(i2), i3);
    Check<SLOT(GetAdviseHandles)>(43, 26, 255, 27, i1, i2);
    Check<SLOT(GetValuesByHandle)>(44, 28, static_cast<const int32_t*>(i1), values);
    Check<SLOT(GetValuesByItem)>(45, 29, static_cast<const int32_t*>(i1),
                                 static_cast<const int32_t*>(i2), values);
    Check<SLOT(ReadHistoryRaw)>(46, -1.5, 1e9, 30u, 31u, &pTimes, &pStatuses, &pValues);

    EXPECT_EQ(checked_, 47);
}

TEST_F(SlotTableTest, RealClientSettingsThroughTheTable) {
    ITarvikClient* client = TarvikCreateClient(0);
    ASSERT_NE(client, nullptr);

    // 0-2: stored (their effect shows once callbacks are delivered; here the
    // calls must reach the right operation without disturbing the rest).
    CallSlot<SLOT(SetUserData)>(client, 0, 42);
    CallSlot<SLOT(SetStateCallback)>(client, 1, &StateSink);
    CallSlot<SLOT(SetDataCallback)>(client, 2, &DataSink);
    // Slots 3 and 4 start threads and are left to the connection tests.
    CallSlot<SLOT(Disconnect)>(client, 5);
    EXPECT_FALSE(CallSlot<SLOT(GetServerFlag)>(client, 6));
    EXPECT_FALSE(CallSlot<SLOT(IsLinkUp)>(client, 7));
    EXPECT_EQ(CallSlot<SLOT(GetState)>(client, 8), CONN_CLOSED);

    EXPECT_EQ(CallSlot<SLOT(GetRequestTimeout)>(client, 10), 10000);
    CallSlot<SLOT(SetRequestTimeout)>(client, 9, 2500);
    EXPECT_EQ(CallSlot<SLOT(GetRequestTimeout)>(client, 10), 2500);
    EXPECT_EQ(client->GetRequestTimeout(), 2500);

    EXPECT_EQ(CallSlot<SLOT(GetHeartbeatInterval)>(client, 12), 500);
    CallSlot<SLOT(SetHeartbeatInterval)>(client, 11, 0);
    EXPECT_EQ(CallSlot<SLOT(GetHeartbeatInterval)>(client, 12), 0);
    EXPECT_EQ(client->GetRequestTimeout(), 2500);

    // 13: no error recorded yet: the buffer is zero-filled.
    char text[16];
    std::memset(text, 'x', sizeof text);
    CallSlot<SLOT(GetLastErrorText)>(client, 13, text, static_cast<int32_t>(sizeof text));
    for (char ch : text) {
        EXPECT_EQ(ch, '\0');
    }

    TarvikDestroyClient(client);
}

TEST_F(SlotTableTest, RealClientFailsDirectoryAndRequestSlotsWhenNeverConnected) {
    ITarvikClient* client = TarvikCreateClient(0);
    ASSERT_NE(client, nullptr);

    // Outputs hold sentinels: a failing operation writes nothing.
    int32_t in[2] = {0, 0};
    const uint32_t uin[2] = {0, 0};
    int32_t o1[2] = {-77, -77}, o2[2] = {-77, -77}, o3[2] = {-77, -77}, o4[2] = {-77, -77};
    char names[2 * TARVIK_ITEM_NAME];
    std::memset(names, '#', sizeof names);
    const char query[2 * TARVIK_ITEM_NAME] = "PUMP1.PV";
    VarValue values[2] = {};
    double reals[4] = {-7, -7, -7, -7};
    const double times[2] = {45000.0, 45000.5};
    const uint16_t statuses[2] = {0, 0};
    double* pTimes = reals;
    uint16_t* pStatuses = nullptr;
    double* pValues = reals;

    EXPECT_EQ(CallSlot<SLOT(GetPointCount)>(client, 14), -1);
    EXPECT_EQ(CallSlot<SLOT(EnumPoints)>(client, 15, 2, o1, names, o2, o3), -1);
    EXPECT_EQ(CallSlot<SLOT(GetTypeCount)>(client, 16), -1);
    EXPECT_EQ(CallSlot<SLOT(EnumTypes)>(client, 17, 2, o1, o2), -1);
    EXPECT_EQ(CallSlot<SLOT(GetFieldCounts)>(client, 18, 2, static_cast<const int32_t*>(in), o1),
              -1);
    EXPECT_EQ(CallSlot<SLOT(EnumFields)>(client, 19, 0, 2, o1, o2, names), -1);
    EXPECT_EQ(CallSlot<SLOT(GetFieldNosByName)>(client, 20, 0, 1, query, o1), -1);
    EXPECT_EQ(
        CallSlot<SLOT(GetFieldNamesByNo)>(client, 21, 0, 2, static_cast<const int32_t*>(in), names),
        -1);
    EXPECT_EQ(
        CallSlot<SLOT(GetFieldTypesByNo)>(client, 22, 0, 2, static_cast<const int32_t*>(in), o1),
        -1);
    EXPECT_EQ(CallSlot<SLOT(GetPointIndexesByName)>(client, 23, 1, query, o1), -1);
    EXPECT_EQ(
        CallSlot<SLOT(GetPointNamesByIndex)>(client, 24, 2, static_cast<const int32_t*>(in), names),
        -1);
    EXPECT_EQ(
        CallSlot<SLOT(GetPointAuxByIndex)>(client, 25, 2, static_cast<const int32_t*>(in), o1), -1);
    EXPECT_EQ(
        CallSlot<SLOT(GetPointTypesByIndex)>(client, 26, 2, static_cast<const int32_t*>(in), o1),
        -1);
    EXPECT_EQ(CallSlot<SLOT(ResolveItemNames)>(client, 27, 1, query, o1, o2), -1);
    EXPECT_EQ(CallSlot<SLOT(FormatItemNames)>(client, 28, 2, static_cast<const int32_t*>(in),
                                              static_cast<const int32_t*>(in), names),
              -1);
    EXPECT_EQ(CallSlot<SLOT(GetItemTypesByName)>(client, 29, 1, query, o1), -1);
    EXPECT_EQ(CallSlot<SLOT(ReadValues)>(client, 30, 2u, uin, uin, values), -1);
    EXPECT_EQ(
        CallSlot<SLOT(WriteValues)>(client, 31, 2u, uin, uin, static_cast<const VarValue*>(values)),
        -1);
    EXPECT_EQ(CallSlot<SLOT(ReadHistory)>(client, 32, 45000.0, 45001.0, 2u, 1u, uin, uin, reals),
              -1);
    EXPECT_EQ(CallSlot<SLOT(WriteHistory)>(client, 33, 0u, 0u, 2u, times, statuses, times), -1);
    EXPECT_EQ(CallSlot<SLOT(Advise)>(client, 34, 2u, uin, uin, static_cast<const int32_t*>(in), o1),
              -1);
    EXPECT_EQ(CallSlot<SLOT(Unadvise)>(client, 35, 2u, static_cast<const int32_t*>(in)), -1);
    EXPECT_EQ(CallSlot<SLOT(UnadviseAll)>(client, 36), 0);
    EXPECT_EQ(CallSlot<SLOT(GetAdviseItemCount)>(client, 37), -1);
    EXPECT_EQ(CallSlot<SLOT(GetAdviseInfoByHandle)>(client, 38, 2, static_cast<const int32_t*>(in),
                                                    o1, o2, o3),
              -1);
    EXPECT_EQ(CallSlot<SLOT(EnumAdviseItems)>(client, 39, 2, o1, o2), -1);
    EXPECT_EQ(CallSlot<SLOT(GetAdviseHandleCount)>(client, 40), -1);
    EXPECT_EQ(CallSlot<SLOT(EnumAdviseHandles)>(client, 41, 2, o1, o2), -1);
    EXPECT_EQ(CallSlot<SLOT(GetAdviseCounts)>(client, 42, 2, static_cast<const int32_t*>(in),
                                              static_cast<const int32_t*>(in), o4),
              -1);
    EXPECT_EQ(CallSlot<SLOT(GetAdviseHandles)>(client, 43, 0, 0, 2, o1, o2), -1);
    EXPECT_EQ(
        CallSlot<SLOT(GetValuesByHandle)>(client, 44, 2, static_cast<const int32_t*>(in), values),
        -1);
    EXPECT_EQ(CallSlot<SLOT(GetValuesByItem)>(client, 45, 2, static_cast<const int32_t*>(in),
                                              static_cast<const int32_t*>(in), values),
              -1);
    EXPECT_EQ(CallSlot<SLOT(ReadHistoryRaw)>(client, 46, 45000.0, 45001.0, 0u, 0u, &pTimes,
                                             &pStatuses, &pValues),
              -1);

    for (int32_t* out : {o1, o2, o3, o4}) {
        EXPECT_EQ(out[0], -77);
        EXPECT_EQ(out[1], -77);
    }
    for (char ch : names) {
        ASSERT_EQ(ch, '#');
    }
    for (const VarValue& v : values) {
        EXPECT_EQ(v.tag, VAL_NONE);
    }
    for (double r : reals) {
        EXPECT_EQ(r, -7.0);
    }
    // The state is untouched by the failing calls.
    EXPECT_EQ(client->GetState(), CONN_CLOSED);
    TarvikDestroyClient(client);
}

}  // namespace
