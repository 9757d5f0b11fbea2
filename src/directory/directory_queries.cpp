// The directory queries (interface slots 14 to 29): points, types, fields and
// item names, answered from the directory in memory.
//
// Every query needs a linked, logged-in session; otherwise it fails with -1
// and writes nothing. It then answers all its entries under one hold of the
// state lock, so that a rebuild at login never shows it a mix of directories.
// The per-entry rules live with the directory (point_queries.cpp).
#include "client/client.h"
#include "directory/locked_query.h"
#include "directory/point_directory.h"

namespace tarvik {

template <typename F>
int32_t CTarvikClient::DirectoryQuery(F&& query) {
    return LockedQuery(FLAGS_IS_LOGGED_IN,
                       [&] { return query(static_cast<const CPointDirectory&>(directory_)); });
}

int32_t CTarvikClient::GetPointCount() {
    return DirectoryQuery([&](const CPointDirectory& d) { return d.PointCount(); });
}

int32_t CTarvikClient::EnumPoints(int32_t count, int32_t* indexes, char* names, int32_t* aux,
                                  int32_t* typeIds) {
    return DirectoryQuery([&](const CPointDirectory& d) {
        return d.EnumPoints(count, indexes, names, aux, typeIds);
    });
}

int32_t CTarvikClient::GetTypeCount() {
    return DirectoryQuery([&](const CPointDirectory& d) { return d.TypeCount(); });
}

int32_t CTarvikClient::EnumTypes(int32_t count, int32_t* typeIds, int32_t* fieldCounts) {
    return DirectoryQuery(
        [&](const CPointDirectory& d) { return d.EnumTypes(count, typeIds, fieldCounts); });
}

int32_t CTarvikClient::GetFieldCounts(int32_t count, const int32_t* typeIds, int32_t* fieldCounts) {
    return DirectoryQuery(
        [&](const CPointDirectory& d) { return d.GetFieldCounts(count, typeIds, fieldCounts); });
}

int32_t CTarvikClient::EnumFields(int32_t typeId, int32_t count, int32_t* fieldNos,
                                  int32_t* valueTypes, char* names) {
    return DirectoryQuery([&](const CPointDirectory& d) {
        return d.EnumFields(typeId, count, fieldNos, valueTypes, names);
    });
}

int32_t CTarvikClient::GetFieldNosByName(int32_t typeId, int32_t count, const char* names,
                                         int32_t* fieldNos) {
    return DirectoryQuery([&](const CPointDirectory& d) {
        return d.GetFieldNosByName(typeId, count, names, fieldNos);
    });
}

int32_t CTarvikClient::GetFieldNamesByNo(int32_t typeId, int32_t count, const int32_t* fieldNos,
                                         char* names) {
    return DirectoryQuery([&](const CPointDirectory& d) {
        return d.GetFieldNamesByNo(typeId, count, fieldNos, names);
    });
}

int32_t CTarvikClient::GetFieldTypesByNo(int32_t typeId, int32_t count, const int32_t* fieldNos,
                                         int32_t* valueTypes) {
    return DirectoryQuery([&](const CPointDirectory& d) {
        return d.GetFieldTypesByNo(typeId, count, fieldNos, valueTypes);
    });
}

int32_t CTarvikClient::GetPointIndexesByName(int32_t count, const char* names, int32_t* indexes) {
    return DirectoryQuery(
        [&](const CPointDirectory& d) { return d.GetPointIndexesByName(count, names, indexes); });
}

int32_t CTarvikClient::GetPointNamesByIndex(int32_t count, const int32_t* indexes, char* names) {
    return DirectoryQuery(
        [&](const CPointDirectory& d) { return d.GetPointNamesByIndex(count, indexes, names); });
}

int32_t CTarvikClient::GetPointAuxByIndex(int32_t count, const int32_t* indexes, int32_t* aux) {
    return DirectoryQuery(
        [&](const CPointDirectory& d) { return d.GetPointAuxByIndex(count, indexes, aux); });
}

int32_t CTarvikClient::GetPointTypesByIndex(int32_t count, const int32_t* indexes,
                                            int32_t* typeIds) {
    return DirectoryQuery(
        [&](const CPointDirectory& d) { return d.GetPointTypesByIndex(count, indexes, typeIds); });
}

int32_t CTarvikClient::ResolveItemNames(int32_t count, const char* names, int32_t* indexes,
                                        int32_t* fieldNos) {
    return DirectoryQuery([&](const CPointDirectory& d) {
        return d.ResolveItemNames(count, names, indexes, fieldNos);
    });
}

int32_t CTarvikClient::FormatItemNames(int32_t count, const int32_t* indexes,
                                       const int32_t* fieldNos, char* names) {
    return DirectoryQuery([&](const CPointDirectory& d) {
        return d.FormatItemNames(count, indexes, fieldNos, names);
    });
}

int32_t CTarvikClient::GetItemTypesByName(int32_t count, const char* names, int32_t* valueTypes) {
    return DirectoryQuery(
        [&](const CPointDirectory& d) { return d.GetItemTypesByName(count, names, valueTypes); });
}

}  // namespace tarvik
