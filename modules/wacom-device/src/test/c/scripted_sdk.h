// A scripted pad SDK: records every call in order as one line of text, answers from a script, and
// delivers scripted button presses from its message source, as a pad does while the thread pumps.
#pragma once

#include <deque>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "pad_sdk.h"

namespace scripted {

using BioSigningDevice::HRESULT;
using PadSdk::Variant;

struct Script {
    bool sigCtl = true, wizCtl = true, connected = true;
    int16_t width = 800, height = 480;
    HRESULT createHash = BioSigningDevice::S_OK;
    bool signatureIsSigObj = true;
    bool captured = true;
    Variant picture = Variant::Bytes({0x89, 'P', 'N', 'G'});
    Variant data = Variant::Bytes({1, 2, 3});
    std::map<std::string, HRESULT> failures;  // call name -> result
    // Button identifiers pressed on successive pumps after the screen was shown ("" : nothing that turn).
    std::deque<std::string> presses;
    std::vector<std::string> log;
    int pumps = 0;
    std::shared_ptr<PadSdk::IWizCtlEvents> sink;

    HRESULT call(const std::string& name, const std::string& arguments = {}) {
        log.push_back(arguments.empty() ? name : name + " " + arguments);
        const auto failure = failures.find(name);
        return failure == failures.end() ? BioSigningDevice::S_OK : failure->second;
    }
    std::string joined() const {
        std::string all;
        for (const auto& line : log) all += line + "\n";
        return all;
    }
};

inline std::string describe(const Variant& v) {
    switch (v.type) {
    case Variant::Type::Int: return std::to_string(v.number);
    case Variant::Type::Text: return "'" + v.text + "'";
    case Variant::Type::Object: return v.object ? "object" : "null-object";
    case Variant::Type::Missing: return "missing";
    case Variant::Type::Bytes: return "bytes" + std::to_string(v.bytes.size());
    default: return "other";
    }
}

class SigObj : public PadSdk::ISigObj {
public:
    explicit SigObj(Script& s) : s_(s) {}
    HRESULT IsCaptured(bool* captured) override {
        *captured = s_.captured;
        return s_.call("sig.IsCaptured");
    }
    HRESULT RenderBitmap(const char* file, int32_t w, int32_t h, const char* mime, float ink, uint32_t inkColour,
                         uint32_t background, float px, float py, uint32_t flags, Variant* picture) override {
        std::ostringstream args;
        args << (file ? file : "null") << " " << w << " " << h << " " << mime << " " << ink << " " << std::hex
             << inkColour << " " << background << " " << std::dec << px << " " << py << " " << std::hex << flags;
        *picture = s_.picture;
        return s_.call("sig.RenderBitmap", args.str());
    }
    HRESULT GetSigData(Variant* data) override {
        *data = s_.data;
        return s_.call("sig.GetSigData");
    }

private:
    Script& s_;
};

class OtherObject : public PadSdk::IObject {};

class SigCtl : public PadSdk::ISigCtl {
public:
    explicit SigCtl(Script& s) : s_(s) {
        if (s.signatureIsSigObj) signature_ = std::make_shared<SigObj>(s);
        else signature_ = std::make_shared<OtherObject>();
    }
    HRESULT Signature(std::shared_ptr<PadSdk::IObject>* out) override {
        *out = signature_;
        return s_.call("sigctl.Signature");
    }

private:
    Script& s_;
    std::shared_ptr<PadSdk::IObject> signature_;
};

class Hash : public PadSdk::IHash {
public:
    explicit Hash(Script& s) : s_(s) {}
    HRESULT SetType(int32_t type) override { return s_.call("hash.SetType", std::to_string(type)); }
    HRESULT SetHash(const Variant& bytes) override { return s_.call("hash.SetHash", describe(bytes)); }

private:
    Script& s_;
};

class WizCtl : public PadSdk::IWizCtl {
public:
    explicit WizCtl(Script& s) : s_(s) {}
    HRESULT Connect(bool* connected) override {
        *connected = s_.connected;
        return s_.call("wiz.Connect");
    }
    HRESULT PadWidth(int16_t* w) override {
        *w = s_.width;
        return s_.call("wiz.PadWidth");
    }
    HRESULT PadHeight(int16_t* h) override {
        *h = s_.height;
        return s_.call("wiz.PadHeight");
    }
    HRESULT Disconnect() override { return s_.call("wiz.Disconnect"); }
    HRESULT Reset() override { return s_.call("wiz.Reset"); }
    HRESULT SetFont(const PadSdk::Font& f) override {
        return s_.call("wiz.SetFont", f.face + " " + std::to_string(f.size) + " " + std::to_string(f.weight));
    }
    HRESULT AddObject(int32_t type, const std::optional<std::string>& id, const Variant& x, const Variant& y,
                      const Variant& data, const Variant& options) override {
        return s_.call("wiz.AddObject", std::to_string(type) + " " + (id ? *id : "null") + " " + describe(x) + " " +
                                            describe(y) + " " + describe(data) + " " + describe(options));
    }
    HRESULT SetEventHandler(std::shared_ptr<PadSdk::IWizCtlEvents> sink) override {
        s_.sink = sink;
        return s_.call("wiz.SetEventHandler", sink ? "sink" : "null");
    }
    HRESULT Display() override { return s_.call("wiz.Display"); }

private:
    Script& s_;
};

class Sdk : public PadSdk::ISdk, public BioSigningDevice::IMessageSource {
public:
    explicit Sdk(Script& s) : s_(s) {}
    HRESULT CreateSigCtl(std::shared_ptr<PadSdk::ISigCtl>* out) override {
        if (!s_.sigCtl) return static_cast<HRESULT>(0x80040154);  // class not registered
        *out = std::make_shared<SigCtl>(s_);
        return BioSigningDevice::S_OK;
    }
    HRESULT CreateWizCtl(std::shared_ptr<PadSdk::IWizCtl>* out) override {
        if (!s_.wizCtl) return static_cast<HRESULT>(0x80040154);
        *out = std::make_shared<WizCtl>(s_);
        return BioSigningDevice::S_OK;
    }
    HRESULT CreateHash(std::shared_ptr<PadSdk::IHash>* out) override {
        s_.log.push_back("sdk.CreateHash");
        if (BioSigningDevice::Succeeded(s_.createHash)) *out = std::make_shared<Hash>(s_);
        return s_.createHash;
    }
    BioSigningDevice::IMessageSource* MessageSource() override { return this; }
    bool Pump(int) override {
        ++s_.pumps;
        if (!s_.sink || s_.presses.empty()) return false;
        const std::string id = s_.presses.front();
        s_.presses.pop_front();
        if (id.empty()) return false;
        s_.sink->Invoke(0, PadSdk::DISPATCH_METHOD, {Variant::Object(nullptr), Variant::Text(id), Variant::Int(1)});
        return true;
    }

private:
    Script& s_;
};

}  // namespace scripted
