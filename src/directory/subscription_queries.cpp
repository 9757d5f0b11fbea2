// The subscription-table queries of the interface. They need a linked session
// that is logged in; the two value queries need the ready session, since the
// last values mean something only while the subscriptions are in force.
// Otherwise they return -1 and write nothing. Each runs under the state lock.
#include "client/client.h"
#include "directory/locked_query.h"

namespace tarvik {

int32_t CTarvikClient::GetAdviseItemCount() {
    return LockedQuery(FLAGS_IS_LOGGED_IN, [&] { return advise_.ItemCount(); });
}

int32_t CTarvikClient::GetAdviseInfoByHandle(int32_t count, const int32_t* handles,
                                             int32_t* pointIndexes, int32_t* fieldNos,
                                             int32_t* userValues) {
    return LockedQuery(FLAGS_IS_LOGGED_IN, [&] {
        return advise_.GetAdviseInfoByHandle(count, handles, pointIndexes, fieldNos, userValues);
    });
}

int32_t CTarvikClient::EnumAdviseItems(int32_t count, int32_t* pointIndexes, int32_t* fieldNos) {
    return LockedQuery(FLAGS_IS_LOGGED_IN,
                       [&] { return advise_.EnumAdviseItems(count, pointIndexes, fieldNos); });
}

int32_t CTarvikClient::GetAdviseHandleCount() {
    return LockedQuery(FLAGS_IS_LOGGED_IN, [&] { return advise_.HandleCount(); });
}

int32_t CTarvikClient::EnumAdviseHandles(int32_t count, int32_t* handles, int32_t* userValues) {
    return LockedQuery(FLAGS_IS_LOGGED_IN,
                       [&] { return advise_.EnumAdviseHandles(count, handles, userValues); });
}

int32_t CTarvikClient::GetAdviseCounts(int32_t count, const int32_t* pointIndexes,
                                       const int32_t* fieldNos, int32_t* counts) {
    return LockedQuery(FLAGS_IS_LOGGED_IN, [&] {
        return advise_.GetAdviseCounts(count, pointIndexes, fieldNos, counts);
    });
}

int32_t CTarvikClient::GetAdviseHandles(int32_t pointIndex, int32_t fieldNo, int32_t count,
                                        int32_t* handles, int32_t* userValues) {
    return LockedQuery(FLAGS_IS_LOGGED_IN, [&] {
        return advise_.GetAdviseHandles(pointIndex, fieldNo, count, handles, userValues);
    });
}

int32_t CTarvikClient::GetValuesByHandle(int32_t count, const int32_t* handles, VarValue* values) {
    return LockedQuery(FLAGS_IS_READY,
                       [&] { return advise_.GetValuesByHandle(count, handles, values); });
}

int32_t CTarvikClient::GetValuesByItem(int32_t count, const int32_t* pointIndexes,
                                       const int32_t* fieldNos, VarValue* values) {
    return LockedQuery(FLAGS_IS_READY, [&] {
        return advise_.GetValuesByItem(count, pointIndexes, fieldNos, values);
    });
}

}  // namespace tarvik
