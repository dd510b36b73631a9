#include "station/station_server.h"

#include <nlohmann/json.hpp>

#include "web/page_files.h"
#include "web/web_room.h"

namespace {

StationActions actions;

WebReply Reply(int status, const std::string& text) {
    WebReply reply;
    reply.status = status;
    reply.body = text.empty() ? text : text + "\n";  // a 204 has no body
    return reply;
}

int SlotOf(const nlohmann::json& body) {
    auto slot = body.find("slot");
    if (slot == body.end() || !slot->is_number_integer()) return -1;
    int64_t n = slot->get<int64_t>();
    return n >= 0 && n < 100000 ? static_cast<int>(n) : -1;
}

WebReply Settings(const nlohmann::json& body) {
    auto op = body.find("operator"), lot = body.find("lot");
    if (op == body.end() || lot == body.end() || !op->is_string() || !lot->is_string())
        return Reply(400, "operator and lot are texts");
    std::string why;
    if (!actions.settings(op->get<std::string>(), lot->get<std::string>(), why))
        return Reply(400, why);
    return Reply(204, "");
}

WebReply Serial(const nlohmann::json& body) {
    auto serial = body.find("serial");
    int slot = SlotOf(body);
    if (slot < 0 || serial == body.end() || !serial->is_string())
        return Reply(400, "a slot and a serial, a text");
    std::string why;
    if (!actions.serial(slot, serial->get<std::string>(), why)) return Reply(400, why);
    return Reply(204, "");
}

// The page's buttons and fields; false for no such action.
bool Act(const std::string& path, const nlohmann::json& body, WebReply& reply) {
    reply = Reply(204, "");
    if (path == "/api/retry") {
        int slot = SlotOf(body);
        if (slot < 0)
            reply = Reply(400, "no slot");
        else if (!actions.retry(slot))
            reply = Reply(409, "nothing to retry on that slot");
    } else if (path == "/api/retry-failed") {
        actions.retryFailed();
    } else if (path == "/api/finish" || path == "/api/stop") {
        path == "/api/finish" ? actions.finish() : actions.stopNow();
        reply = Reply(202, "accepted");
    } else if (path == "/api/settings") {
        reply = Settings(body);
    } else if (path == "/api/serial") {
        reply = Serial(body);
    } else {
        return false;
    }
    if (reply.status < 400) NoteWebRoomChanged();
    return true;
}

bool Post(const WebRequest& request, WebReply& reply) {
    nlohmann::json body =
        nlohmann::json::parse(request.body.empty() ? "{}" : request.body, nullptr, false);
    if (!body.is_object()) {
        reply = Reply(400, "the body is no JSON object");
        return true;
    }
    return Act(request.path, body, reply);
}

bool Route(const WebRequest& request, WebReply& reply) {
    if (request.post) return Post(request, reply);
    if (request.path == "/api/state") {
        reply.type = "application/json";
        reply.body = actions.state(request.role == WebRole::ReadOnly);
        return true;
    }
    bool csv = request.path == "/api/export.csv";
    if (!csv && request.path != "/api/export.jsonl") return false;
    reply.type = csv ? "text/csv; charset=utf-8" : "application/jsonl";
    reply.body = csv ? actions.exportCsv() : actions.exportJsonl();
    reply.download = std::string("station-records.") + (csv ? "csv" : "jsonl");
    return true;
}

}  // namespace

bool StartStationServer(const StationServerSetup& setup, std::string& why) {
    actions = setup.actions;
    WebRoomSetup room;
    room.name = "station";
    room.address = setup.address;
    room.port = setup.port;
    room.token = setup.token;
    room.readOnlyToken = setup.readOnlyToken;
    room.state = [](bool readOnly) { return actions.state(readOnly); };
    room.route = Route;
    room.findPage = FindPageFile;
    return StartWebRoom(room, why);
}

unsigned short StationServerPort() {
    return WebRoomPort();
}

void NoteStationChanged() {
    NoteWebRoomChanged();
}

void StopStationServer() {
    StopWebRoom();
}

std::string NewStationToken() {
    return NewWebToken();
}
