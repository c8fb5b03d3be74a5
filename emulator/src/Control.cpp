// Test control API under /emulator/v1/ (no token needed).
#include "Compute.h"
#include "DiskFiles.h"
#include "Emulator.h"

namespace gce::emu {

json issueTokenForControl(World& w, int lifetime);

namespace {

const std::string kBase = "/emulator/v1";

json controlBody(Call& call) {
    json body = call.body("", "");
    return body;
}

int intField(const json& body, const char* name, int def, int lo, int hi) {
    if (!body.contains(name)) return def;
    if (!body[name].is_number_integer()) throw badRequest(std::string("'") + name + "' must be an integer");
    int64_t v = body[name].get<int64_t>();
    if (v < lo || v > hi) {
        throw badRequest(std::string("'") + name + "' must be between " + std::to_string(lo) + " and " +
                         std::to_string(hi));
    }
    return static_cast<int>(v);
}

json resources(World& w) {
    json out = {{"stateDir", w.stateDir},
                {"byIdDir", w.byIdDir},
                {"proxy", w.proxyKey},
                {"projects", json::object()}};
    for (auto& [id, p] : w.projects) {
        json proj = {{"projectNumber", p.number},   {"instances", json::array()}, {"disks", json::array()},
                     {"snapshots", json::array()},  {"buckets", json::array()},   {"keyRings", json::array()},
                     {"cryptoKeys", json::array()}, {"operations", json::array()}};
        out["projects"][id] = proj;
    }
    auto projectOf = [](const std::string& key) {
        auto a = key.find('/');
        auto b = key.find('/', a + 1);
        return key.substr(a + 1, b - a - 1);
    };
    for (auto& [k, in] : w.instances) {
        if (out["projects"].contains(in.project)) out["projects"][in.project]["instances"].push_back(in.res);
    }
    for (auto& [k, d] : w.disks) {
        json item = d.res;
        item["file"] = d.file;
        item["scope"] = d.scope;
        if (!d.kmsKey.empty()) item["kmsKey"] = d.kmsKey;
        if (out["projects"].contains(d.project)) out["projects"][d.project]["disks"].push_back(item);
    }
    for (auto& [k, s] : w.snapshots) {
        json item = s.res;
        item["file"] = s.file;
        if (out["projects"].contains(s.project)) out["projects"][s.project]["snapshots"].push_back(item);
    }
    for (auto& [k, op] : w.operations) {
        if (out["projects"].contains(op.project)) {
            out["projects"][op.project]["operations"].push_back({{"name", op.res["name"]},
                                                                 {"operationType", op.res["operationType"]},
                                                                 {"status", op.res["status"]},
                                                                 {"targetLink", op.res["targetLink"]},
                                                                 {"error", op.res.value("error", json())}});
        }
    }
    for (auto& [name, b] : w.buckets) {
        json item = b.res;
        item["objects"] = json::array();
        for (auto& [on, o] : b.objects) item["objects"].push_back(o.res);
        if (out["projects"].contains(b.project)) out["projects"][b.project]["buckets"].push_back(item);
    }
    for (auto& [name, kr] : w.keyRings) {
        std::string p = projectOf(name);
        if (out["projects"].contains(p)) out["projects"][p]["keyRings"].push_back(kr);
    }
    for (auto& [name, k] : w.cryptoKeys) {
        std::string p = projectOf(name);
        json item = k.res;
        item["versions"] = k.versions;
        if (out["projects"].contains(p)) out["projects"][p]["cryptoKeys"].push_back(item);
    }
    return out;
}

}  // namespace

void registerControl(Emulator& emu) {
    World& w = emu.world();
    const auto X = Service::kControl;
    emu.route("GET", kBase + "/resources", X, [&w](Call& call) {
        std::lock_guard<std::mutex> lock(w.mu);
        call.reply(resources(w));
    });
    emu.route("GET", kBase + "/stats", X, [&emu, &w](Call& call) {
        json out = json::object(), pending = json::object();
        {
            std::lock_guard<std::mutex> lock(emu.faultsMu_);
            for (auto& [k, v] : emu.stats_) out[k] = v;
        }
        {
            std::lock_guard<std::mutex> lock(w.mu);
            for (auto& [k, v] : w.pendingReads) pending[k] = v;
        }
        call.reply({{"requests", out}, {"pendingReads", pending}});
    });
    emu.route("POST", kBase + "/stats/reset", X, [&emu, &w](Call& call) {
        {
            std::lock_guard<std::mutex> lock(emu.faultsMu_);
            emu.stats_.clear();
        }
        std::lock_guard<std::mutex> lock(w.mu);
        w.pendingReads.clear();
        call.reply(json::object());
    });
    emu.route("GET", kBase + "/faults", X, [&emu](Call& call) {
        std::lock_guard<std::mutex> lock(emu.faultsMu_);
        json out = json::array();
        for (auto& f : emu.faults_) {
            out.push_back({{"match", f.pattern},
                           {"status", f.status},
                           {"reason", f.reason},
                           {"operationError", f.operationError},
                           {"count", f.count},
                           {"probability", f.probability},
                           {"retryAfter", f.retryAfter}});
        }
        call.reply({{"faults", out}});
    });
    emu.route("POST", kBase + "/faults", X, [&emu](Call& call) {
        json body = controlBody(call);
        static const std::set<std::string> known = {"match",          "status", "reason",      "message",
                                                    "operationError", "count",  "probability", "retryAfter"};
        for (auto& [k, v] : body.items()) {
            if (!known.count(k)) throw badRequest("Unknown fault field '" + k + "'");
        }
        Fault f;
        f.pattern = body.value("match", "");
        if (f.pattern.empty()) throw badRequest("'match' (a regex on \"METHOD path\") is required");
        try {
            f.match = std::regex(f.pattern);
        } catch (const std::regex_error&) {
            throw badRequest("'match' is not a valid regular expression");
        }
        f.operationError = body.value("operationError", "");
        f.status = intField(body, "status", f.operationError.empty() ? 503 : 200, 400, 599);
        f.reason = body.value("reason", f.status == 503   ? "backendError"
                                        : f.status == 429 ? "rateLimitExceeded"
                                        : f.status == 403 ? "rateLimitExceeded"
                                                          : "backendError");
        f.message = body.value("message", "");
        f.count = intField(body, "count", -1, -1, 1000000);
        if (f.count == 0) throw badRequest("'count' must be positive, or -1 for unlimited");
        f.retryAfter = intField(body, "retryAfter", 0, 0, 3600);
        if (body.contains("probability")) {
            if (!body["probability"].is_number()) throw badRequest("'probability' must be a number");
            f.probability = body["probability"].get<double>();
            if (f.probability <= 0 || f.probability > 1) throw badRequest("'probability' must be in (0, 1]");
        }
        std::lock_guard<std::mutex> lock(emu.faultsMu_);
        emu.faults_.push_back(std::move(f));
        call.reply(json::object());
    });
    emu.route("DELETE", kBase + "/faults", X, [&emu](Call& call) {
        std::lock_guard<std::mutex> lock(emu.faultsMu_);
        emu.faults_.clear();
        call.reply(json::object());
    });
    auto latencyJson = [](const Latency& l) {
        return json{{"disk", l.diskMs},           {"snapshot", l.snapshotMs}, {"instance", l.instanceMs},
                    {"operation", l.operationMs}, {"attach", l.AttachMs()},   {"wait", l.waitMs}};
    };
    emu.route("GET", kBase + "/latency", X, [&w, latencyJson](Call& call) {
        std::lock_guard<std::mutex> lock(w.mu);
        call.reply(latencyJson(w.latency));
    });
    emu.route("POST", kBase + "/latency", X, [&w, latencyJson](Call& call) {
        json body = controlBody(call);
        std::lock_guard<std::mutex> lock(w.mu);
        Latency l = w.latency;
        l.diskMs = intField(body, "disk", l.diskMs, 0, 600000);
        l.snapshotMs = intField(body, "snapshot", l.snapshotMs, 0, 600000);
        l.instanceMs = intField(body, "instance", l.instanceMs, 0, 600000);
        l.operationMs = intField(body, "operation", l.operationMs, 0, 600000);
        l.waitMs = intField(body, "wait", l.waitMs, 0, 120000);
        l.attachMs = intField(body, "attach", l.attachMs, -1, 600000);
        w.latency = l;
        call.reply(latencyJson(l));
    });
    emu.route("POST", kBase + "/guest-flush", X, [&w](Call& call) {
        json body = controlBody(call);
        if (!body.contains("fail") || !body["fail"].is_boolean())
            throw badRequest("'fail' (boolean) is required");
        bool fail = body["fail"].get<bool>();
        std::lock_guard<std::mutex> lock(w.mu);
        if (body.contains("instance")) {
            std::string key = normalizeRef(body.value("instance", ""), "");
            auto it = w.instances.find(key);
            if (it == w.instances.end()) throw notFound(key);
            it->second.guestFlushFail = fail;
        } else {
            w.guestFlushFail = fail;
            if (!fail) {
                for (auto& [k, in] : w.instances) in.guestFlushFail = false;
            }
        }
        call.reply(json::object());
    });
    emu.route("POST", kBase + "/limits", X, [&w](Call& call) {
        json body = controlBody(call);
        std::lock_guard<std::mutex> lock(w.mu);
        Limits l = w.limits;
        l.maxAttachedDisks = intField(body, "maxAttachedDisks", l.maxAttachedDisks, 0, 1000);
        l.tokenLifetimeSeconds = intField(body, "tokenLifetimeSeconds", l.tokenLifetimeSeconds, 1, 86400);
        l.snapshotIntervalSeconds =
            intField(body, "snapshotIntervalSeconds", l.snapshotIntervalSeconds, 0, 86400);
        l.notFoundAfterInsertMs = intField(body, "notFoundAfterInsertMs", l.notFoundAfterInsertMs, 0, 600000);
        w.limits = l;
        w.clockSkewSeconds =
            intField(body, "clockSkewSeconds", static_cast<int>(w.clockSkewSeconds), -86400, 86400);
        call.reply({{"maxAttachedDisks", l.maxAttachedDisks},
                    {"tokenLifetimeSeconds", l.tokenLifetimeSeconds},
                    {"snapshotIntervalSeconds", l.snapshotIntervalSeconds},
                    {"notFoundAfterInsertMs", l.notFoundAfterInsertMs},
                    {"clockSkewSeconds", w.clockSkewSeconds}});
    });
    emu.route("POST", kBase + "/tokens", X, [&w](Call& call) {
        json body = controlBody(call);
        std::lock_guard<std::mutex> lock(w.mu);
        int lifetime = intField(body, "lifetimeSeconds", w.limits.tokenLifetimeSeconds, 1, 86400);
        call.reply(issueTokenForControl(w, lifetime));
    });
    emu.route("DELETE", kBase + "/tokens", X, [&w](Call& call) {
        std::lock_guard<std::mutex> lock(w.mu);
        for (auto& [t, exp] : w.tokens) exp = Clock::now();  // every token is now expired
        call.reply(json::object());
    });
    emu.route("POST", kBase + "/status", X, [&w](Call& call) {
        json body = controlBody(call);
        std::string key = normalizeRef(body.value("resource", ""), "");
        std::string status = body.value("status", "");
        std::lock_guard<std::mutex> lock(w.mu);
        if (w.disks.count(key)) {
            w.disks[key].res["status"] = status;
        } else if (w.snapshots.count(key)) {
            w.snapshots[key].res["status"] = status;
        } else if (w.instances.count(key)) {
            w.instances[key].res["status"] = status;
        } else {
            throw notFound(key);
        }
        call.reply(json::object());
    });
    // Makes the objects of a bucket whose names begin with `prefix` older by
    // `seconds`: their creation and update times and their retention's end
    // move back, as if they had been written that long ago.
    emu.route("POST", kBase + "/storage/age", X, [&w](Call& call) {
        json body = controlBody(call);
        if (!body.contains("seconds") || !body["seconds"].is_number_unsigned())
            throw badRequest("'seconds' (non-negative integer) is required");
        const int64_t seconds = body["seconds"].get<int64_t>();
        const std::string bucket = body.value("bucket", ""), prefix = body.value("prefix", "");
        std::lock_guard<std::mutex> lock(w.mu);
        auto it = w.buckets.find(bucket);
        if (it == w.buckets.end()) throw notFound("b/" + bucket);
        size_t aged = 0;
        for (auto& [name, o] : it->second.objects) {
            if (name.rfind(prefix, 0) != 0) continue;
            o.created -= seconds;
            o.res["timeCreated"] = o.res["updated"] = rfc3339(o.created);
            // Under the bucket's policy now (none, if it was removed since).
            if (const int64_t period = retentionPeriod(it->second); period > 0)
                o.res["retentionExpirationTime"] = rfc3339(o.created + period);
            else
                o.res.erase("retentionExpirationTime");
            ++aged;
        }
        call.reply({{"aged", aged}});
    });
    emu.route("POST", kBase + "/disks/write", X, [&w](Call& call) {
        json body = controlBody(call);
        std::string project = body.value("project", ""), scope = body.value("scope", ""),
                    disk = body.value("disk", "");
        if (!body.contains("offset") || !body["offset"].is_number_unsigned()) {
            throw badRequest("'offset' (non-negative integer) is required");
        }
        std::string data;
        try {
            data = base64Decode(body.value("data", ""));
        } catch (const std::invalid_argument&) {
            throw badRequest("'data' must be base64");
        }
        std::string file;
        {
            std::lock_guard<std::mutex> lock(w.mu);
            for (const char* kind : {"zones", "regions"}) {
                auto it = w.disks.find("projects/" + project + "/" + kind + "/" + scope + "/disks/" + disk);
                if (it != w.disks.end()) file = it->second.file;
            }
        }
        if (file.empty()) throw notFound("projects/" + project + "/zones/" + scope + "/disks/" + disk);
        try {
            writeAt(file, body["offset"].get<uint64_t>(), data);
        } catch (const std::out_of_range& e) {
            throw badRequest(e.what());
        }
        call.reply({{"written", data.size()}});
    });
}

}  // namespace gce::emu
