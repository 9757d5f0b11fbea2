// One C function per operation of the client interface: each passes its
// arguments on unchanged and returns the operation's result. A null client
// yields the failure result of the operation (-1, false or nothing).
#include "capi/capi_client.h"

namespace {

template <typename Result, typename Call>
Result With(tarvik_client* client, Result failure, Call call) {
    return client == nullptr ? failure : call(client->iface);
}

template <typename Call>
void WithVoid(tarvik_client* client, Call call) {
    if (client != nullptr) {
        call(client->iface);
    }
}

}  // namespace

extern "C" {

/* 0-13: settings, connection, state. The callbacks are in capi_client.cpp. */

TARVIK_C_API void TARVIK_C_CALL tarvik_set_user_data(tarvik_client* client, int32_t value) {
    WithVoid(client, [&](ITarvikClient* c) { c->SetUserData(value); });
}

TARVIK_C_API bool TARVIK_C_CALL tarvik_connect_remote(tarvik_client* client, int32_t port,
                                                      const char* host, const char* backupHost,
                                                      int32_t backupPort) {
    return With(client, false, [&](ITarvikClient* c) {
        return c->ConnectRemote(port, host, backupHost, backupPort);
    });
}

TARVIK_C_API bool TARVIK_C_CALL tarvik_connect_local(tarvik_client* client) {
    return With(client, false, [&](ITarvikClient* c) { return c->ConnectLocal(); });
}

TARVIK_C_API void TARVIK_C_CALL tarvik_disconnect(tarvik_client* client) {
    WithVoid(client, [&](ITarvikClient* c) { c->Disconnect(); });
}

TARVIK_C_API bool TARVIK_C_CALL tarvik_get_server_flag(tarvik_client* client) {
    return With(client, false, [&](ITarvikClient* c) { return c->GetServerFlag(); });
}

TARVIK_C_API bool TARVIK_C_CALL tarvik_is_link_up(tarvik_client* client) {
    return With(client, false, [&](ITarvikClient* c) { return c->IsLinkUp(); });
}

TARVIK_C_API int32_t TARVIK_C_CALL tarvik_get_state(tarvik_client* client) {
    return With(client, -1, [&](ITarvikClient* c) { return c->GetState(); });
}

TARVIK_C_API void TARVIK_C_CALL tarvik_set_request_timeout(tarvik_client* client,
                                                           int32_t milliseconds) {
    WithVoid(client, [&](ITarvikClient* c) { c->SetRequestTimeout(milliseconds); });
}

TARVIK_C_API int32_t TARVIK_C_CALL tarvik_get_request_timeout(tarvik_client* client) {
    return With(client, -1, [&](ITarvikClient* c) { return c->GetRequestTimeout(); });
}

TARVIK_C_API void TARVIK_C_CALL tarvik_set_heartbeat_interval(tarvik_client* client,
                                                              int32_t milliseconds) {
    WithVoid(client, [&](ITarvikClient* c) { c->SetHeartbeatInterval(milliseconds); });
}

TARVIK_C_API int32_t TARVIK_C_CALL tarvik_get_heartbeat_interval(tarvik_client* client) {
    return With(client, -1, [&](ITarvikClient* c) { return c->GetHeartbeatInterval(); });
}

TARVIK_C_API void TARVIK_C_CALL tarvik_get_last_error_text(tarvik_client* client, char* buffer,
                                                           int32_t size) {
    if (client == nullptr) {
        if (buffer != nullptr && size > 0) {
            buffer[0] = '\0';
        }
        return;
    }
    client->iface->GetLastErrorText(buffer, size);
}

/* 14-29: the point directory. */

TARVIK_C_API int32_t TARVIK_C_CALL tarvik_get_point_count(tarvik_client* client) {
    return With(client, -1, [&](ITarvikClient* c) { return c->GetPointCount(); });
}

TARVIK_C_API int32_t TARVIK_C_CALL tarvik_enum_points(tarvik_client* client, int32_t count,
                                                      int32_t* indexes, char* names, int32_t* aux,
                                                      int32_t* typeIds) {
    return With(client, -1, [&](ITarvikClient* c) {
        return c->EnumPoints(count, indexes, names, aux, typeIds);
    });
}

TARVIK_C_API int32_t TARVIK_C_CALL tarvik_get_type_count(tarvik_client* client) {
    return With(client, -1, [&](ITarvikClient* c) { return c->GetTypeCount(); });
}

TARVIK_C_API int32_t TARVIK_C_CALL tarvik_enum_types(tarvik_client* client, int32_t count,
                                                     int32_t* typeIds, int32_t* fieldCounts) {
    return With(client, -1,
                [&](ITarvikClient* c) { return c->EnumTypes(count, typeIds, fieldCounts); });
}

TARVIK_C_API int32_t TARVIK_C_CALL tarvik_get_field_counts(tarvik_client* client, int32_t count,
                                                           const int32_t* typeIds,
                                                           int32_t* fieldCounts) {
    return With(client, -1,
                [&](ITarvikClient* c) { return c->GetFieldCounts(count, typeIds, fieldCounts); });
}

TARVIK_C_API int32_t TARVIK_C_CALL tarvik_enum_fields(tarvik_client* client, int32_t typeId,
                                                      int32_t count, int32_t* fieldNos,
                                                      int32_t* valueTypes, char* names) {
    return With(client, -1, [&](ITarvikClient* c) {
        return c->EnumFields(typeId, count, fieldNos, valueTypes, names);
    });
}

TARVIK_C_API int32_t TARVIK_C_CALL tarvik_get_field_nos_by_name(tarvik_client* client,
                                                                int32_t typeId, int32_t count,
                                                                const char* names,
                                                                int32_t* fieldNos) {
    return With(client, -1, [&](ITarvikClient* c) {
        return c->GetFieldNosByName(typeId, count, names, fieldNos);
    });
}

TARVIK_C_API int32_t TARVIK_C_CALL tarvik_get_field_names_by_no(tarvik_client* client,
                                                                int32_t typeId, int32_t count,
                                                                const int32_t* fieldNos,
                                                                char* names) {
    return With(client, -1, [&](ITarvikClient* c) {
        return c->GetFieldNamesByNo(typeId, count, fieldNos, names);
    });
}

TARVIK_C_API int32_t TARVIK_C_CALL tarvik_get_field_types_by_no(tarvik_client* client,
                                                                int32_t typeId, int32_t count,
                                                                const int32_t* fieldNos,
                                                                int32_t* valueTypes) {
    return With(client, -1, [&](ITarvikClient* c) {
        return c->GetFieldTypesByNo(typeId, count, fieldNos, valueTypes);
    });
}

TARVIK_C_API int32_t TARVIK_C_CALL tarvik_get_point_indexes_by_name(tarvik_client* client,
                                                                    int32_t count,
                                                                    const char* names,
                                                                    int32_t* indexes) {
    return With(client, -1,
                [&](ITarvikClient* c) { return c->GetPointIndexesByName(count, names, indexes); });
}

TARVIK_C_API int32_t TARVIK_C_CALL tarvik_get_point_names_by_index(tarvik_client* client,
                                                                   int32_t count,
                                                                   const int32_t* indexes,
                                                                   char* names) {
    return With(client, -1,
                [&](ITarvikClient* c) { return c->GetPointNamesByIndex(count, indexes, names); });
}

TARVIK_C_API int32_t TARVIK_C_CALL tarvik_get_point_aux_by_index(tarvik_client* client,
                                                                 int32_t count,
                                                                 const int32_t* indexes,
                                                                 int32_t* aux) {
    return With(client, -1,
                [&](ITarvikClient* c) { return c->GetPointAuxByIndex(count, indexes, aux); });
}

TARVIK_C_API int32_t TARVIK_C_CALL tarvik_get_point_types_by_index(tarvik_client* client,
                                                                   int32_t count,
                                                                   const int32_t* indexes,
                                                                   int32_t* typeIds) {
    return With(client, -1,
                [&](ITarvikClient* c) { return c->GetPointTypesByIndex(count, indexes, typeIds); });
}

TARVIK_C_API int32_t TARVIK_C_CALL tarvik_resolve_item_names(tarvik_client* client, int32_t count,
                                                             const char* names, int32_t* indexes,
                                                             int32_t* fieldNos) {
    return With(client, -1, [&](ITarvikClient* c) {
        return c->ResolveItemNames(count, names, indexes, fieldNos);
    });
}

TARVIK_C_API int32_t TARVIK_C_CALL tarvik_format_item_names(tarvik_client* client, int32_t count,
                                                            const int32_t* indexes,
                                                            const int32_t* fieldNos, char* names) {
    return With(client, -1, [&](ITarvikClient* c) {
        return c->FormatItemNames(count, indexes, fieldNos, names);
    });
}

TARVIK_C_API int32_t TARVIK_C_CALL tarvik_get_item_types_by_name(tarvik_client* client,
                                                                 int32_t count, const char* names,
                                                                 int32_t* valueTypes) {
    return With(client, -1,
                [&](ITarvikClient* c) { return c->GetItemTypesByName(count, names, valueTypes); });
}

/* 30-36: requests. */

TARVIK_C_API int32_t TARVIK_C_CALL tarvik_read_values(tarvik_client* client, uint32_t count,
                                                      const uint32_t* pointIndexes,
                                                      const uint32_t* fieldNos, VarValue* values) {
    return With(client, -1, [&](ITarvikClient* c) {
        return c->ReadValues(count, pointIndexes, fieldNos, values);
    });
}

TARVIK_C_API int32_t TARVIK_C_CALL tarvik_write_values(tarvik_client* client, uint32_t count,
                                                       const uint32_t* pointIndexes,
                                                       const uint32_t* fieldNos,
                                                       const VarValue* values) {
    return With(client, -1, [&](ITarvikClient* c) {
        return c->WriteValues(count, pointIndexes, fieldNos, values);
    });
}

TARVIK_C_API int32_t TARVIK_C_CALL tarvik_read_history(tarvik_client* client, double start,
                                                       double end, uint32_t samples, uint32_t count,
                                                       const uint32_t* pointIndexes,
                                                       const uint32_t* fieldNos, double* values) {
    return With(client, -1, [&](ITarvikClient* c) {
        return c->ReadHistory(start, end, samples, count, pointIndexes, fieldNos, values);
    });
}

TARVIK_C_API int32_t TARVIK_C_CALL tarvik_write_history(tarvik_client* client, uint32_t pointIndex,
                                                        uint32_t fieldNo, uint32_t count,
                                                        const double* times,
                                                        const uint16_t* statuses,
                                                        const double* values) {
    return With(client, -1, [&](ITarvikClient* c) {
        return c->WriteHistory(pointIndex, fieldNo, count, times, statuses, values);
    });
}

TARVIK_C_API int32_t TARVIK_C_CALL tarvik_advise(tarvik_client* client, uint32_t count,
                                                 const uint32_t* pointIndexes,
                                                 const uint32_t* fieldNos,
                                                 const int32_t* userValues, int32_t* handles) {
    return With(client, -1, [&](ITarvikClient* c) {
        return c->Advise(count, pointIndexes, fieldNos, userValues, handles);
    });
}

TARVIK_C_API int32_t TARVIK_C_CALL tarvik_unadvise(tarvik_client* client, uint32_t count,
                                                   const int32_t* handles) {
    return With(client, -1, [&](ITarvikClient* c) { return c->Unadvise(count, handles); });
}

TARVIK_C_API int32_t TARVIK_C_CALL tarvik_unadvise_all(tarvik_client* client) {
    return With(client, 0, [&](ITarvikClient* c) { return c->UnadviseAll(); });
}

/* 37-46: the subscription table, last values, raw history. */

TARVIK_C_API int32_t TARVIK_C_CALL tarvik_get_advise_item_count(tarvik_client* client) {
    return With(client, -1, [&](ITarvikClient* c) { return c->GetAdviseItemCount(); });
}

TARVIK_C_API int32_t TARVIK_C_CALL
tarvik_get_advise_info_by_handle(tarvik_client* client, int32_t count, const int32_t* handles,
                                 int32_t* pointIndexes, int32_t* fieldNos, int32_t* userValues) {
    return With(client, -1, [&](ITarvikClient* c) {
        return c->GetAdviseInfoByHandle(count, handles, pointIndexes, fieldNos, userValues);
    });
}

TARVIK_C_API int32_t TARVIK_C_CALL tarvik_enum_advise_items(tarvik_client* client, int32_t count,
                                                            int32_t* pointIndexes,
                                                            int32_t* fieldNos) {
    return With(client, -1, [&](ITarvikClient* c) {
        return c->EnumAdviseItems(count, pointIndexes, fieldNos);
    });
}

TARVIK_C_API int32_t TARVIK_C_CALL tarvik_get_advise_handle_count(tarvik_client* client) {
    return With(client, -1, [&](ITarvikClient* c) { return c->GetAdviseHandleCount(); });
}

TARVIK_C_API int32_t TARVIK_C_CALL tarvik_enum_advise_handles(tarvik_client* client, int32_t count,
                                                              int32_t* handles,
                                                              int32_t* userValues) {
    return With(client, -1,
                [&](ITarvikClient* c) { return c->EnumAdviseHandles(count, handles, userValues); });
}

TARVIK_C_API int32_t TARVIK_C_CALL tarvik_get_advise_counts(tarvik_client* client, int32_t count,
                                                            const int32_t* pointIndexes,
                                                            const int32_t* fieldNos,
                                                            int32_t* counts) {
    return With(client, -1, [&](ITarvikClient* c) {
        return c->GetAdviseCounts(count, pointIndexes, fieldNos, counts);
    });
}

TARVIK_C_API int32_t TARVIK_C_CALL tarvik_get_advise_handles(tarvik_client* client,
                                                             int32_t pointIndex, int32_t fieldNo,
                                                             int32_t count, int32_t* handles,
                                                             int32_t* userValues) {
    return With(client, -1, [&](ITarvikClient* c) {
        return c->GetAdviseHandles(pointIndex, fieldNo, count, handles, userValues);
    });
}

TARVIK_C_API int32_t TARVIK_C_CALL tarvik_get_values_by_handle(tarvik_client* client, int32_t count,
                                                               const int32_t* handles,
                                                               VarValue* values) {
    return With(client, -1,
                [&](ITarvikClient* c) { return c->GetValuesByHandle(count, handles, values); });
}

TARVIK_C_API int32_t TARVIK_C_CALL tarvik_get_values_by_item(tarvik_client* client, int32_t count,
                                                             const int32_t* pointIndexes,
                                                             const int32_t* fieldNos,
                                                             VarValue* values) {
    return With(client, -1, [&](ITarvikClient* c) {
        return c->GetValuesByItem(count, pointIndexes, fieldNos, values);
    });
}

TARVIK_C_API int32_t TARVIK_C_CALL tarvik_read_history_raw(tarvik_client* client, double start,
                                                           double end, uint32_t pointIndex,
                                                           uint32_t fieldNo, double** times,
                                                           uint16_t** statuses, double** values) {
    return With(client, -1, [&](ITarvikClient* c) {
        return c->ReadHistoryRaw(start, end, pointIndex, fieldNo, times, statuses, values);
    });
}

}  // extern "C"
