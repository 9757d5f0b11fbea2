// The subscription-table queries of the interface. They need a linked session
// that is logged in; the two value queries need the ready session, since the
// last values mean something only while the subscriptions are in force.
// Otherwise they return -1 and write nothing. Each runs under the state lock.
#include "client/client.h"

namespace tarvik {

namespace {
bool LoggedIn(CTarvikClient& client) {
    return client.IsLinkUp() && client.TestFlags(FLAGS_IS_LOGGED_IN);
}
bool Ready(CTarvikClient& client) {
    return client.IsLinkUp() && client.TestFlags(FLAGS_IS_READY);
}
}  // namespace

int32_t CTarvikClient::GetAdviseItemCount() {
    return Guarded(-1, [&]() -> int32_t {
        if (!LoggedIn(*this)) {
            return -1;
        }
        plat::CLockHold hold(stateLock_);
        return advise_.ItemCount();
    });
}

int32_t CTarvikClient::GetAdviseInfoByHandle(int32_t count, const int32_t* handles,
                                             int32_t* pointIndexes, int32_t* fieldNos,
                                             int32_t* userValues) {
    return Guarded(-1, [&]() -> int32_t {
        if (!LoggedIn(*this)) {
            return -1;
        }
        plat::CLockHold hold(stateLock_);
        return advise_.GetAdviseInfoByHandle(count, handles, pointIndexes, fieldNos, userValues);
    });
}

int32_t CTarvikClient::EnumAdviseItems(int32_t count, int32_t* pointIndexes, int32_t* fieldNos) {
    return Guarded(-1, [&]() -> int32_t {
        if (!LoggedIn(*this)) {
            return -1;
        }
        plat::CLockHold hold(stateLock_);
        return advise_.EnumAdviseItems(count, pointIndexes, fieldNos);
    });
}

int32_t CTarvikClient::GetAdviseHandleCount() {
    return Guarded(-1, [&]() -> int32_t {
        if (!LoggedIn(*this)) {
            return -1;
        }
        plat::CLockHold hold(stateLock_);
        return advise_.HandleCount();
    });
}

int32_t CTarvikClient::EnumAdviseHandles(int32_t count, int32_t* handles, int32_t* userValues) {
    return Guarded(-1, [&]() -> int32_t {
        if (!LoggedIn(*this)) {
            return -1;
        }
        plat::CLockHold hold(stateLock_);
        return advise_.EnumAdviseHandles(count, handles, userValues);
    });
}

int32_t CTarvikClient::GetAdviseCounts(int32_t count, const int32_t* pointIndexes,
                                       const int32_t* fieldNos, int32_t* counts) {
    return Guarded(-1, [&]() -> int32_t {
        if (!LoggedIn(*this)) {
            return -1;
        }
        plat::CLockHold hold(stateLock_);
        return advise_.GetAdviseCounts(count, pointIndexes, fieldNos, counts);
    });
}

int32_t CTarvikClient::GetAdviseHandles(int32_t pointIndex, int32_t fieldNo, int32_t count,
                                        int32_t* handles, int32_t* userValues) {
    return Guarded(-1, [&]() -> int32_t {
        if (!LoggedIn(*this)) {
            return -1;
        }
        plat::CLockHold hold(stateLock_);
        return advise_.GetAdviseHandles(pointIndex, fieldNo, count, handles, userValues);
    });
}

int32_t CTarvikClient::GetValuesByHandle(int32_t count, const int32_t* handles, VarValue* values) {
    return Guarded(-1, [&]() -> int32_t {
        if (!Ready(*this)) {
            return -1;
        }
        plat::CLockHold hold(stateLock_);
        return advise_.GetValuesByHandle(count, handles, values);
    });
}

int32_t CTarvikClient::GetValuesByItem(int32_t count, const int32_t* pointIndexes,
                                       const int32_t* fieldNos, VarValue* values) {
    return Guarded(-1, [&]() -> int32_t {
        if (!Ready(*this)) {
            return -1;
        }
        plat::CLockHold hold(stateLock_);
        return advise_.GetValuesByItem(count, pointIndexes, fieldNos, values);
    });
}

}  // namespace tarvik
