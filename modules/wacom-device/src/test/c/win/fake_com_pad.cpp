#include "fake_com_pad.h"

#include <oleauto.h>
#include <olectl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <utility>

namespace fakepad {
namespace {

// The SDK's identifiers, spelled out here on their own.
const char* const CLSID_SIGCTL = "{963B1D81-38B8-492E-ACBE-74801D009E9E}";
const char* const IID_SIGCTL = "{BA4D0AD3-2A59-410D-971D-3B7964975E21}";
const char* const CLSID_WIZCTL = "{7AA34BD8-C52E-4F8B-A890-B478A209071E}";
const char* const IID_WIZCTL = "{B8DE88A3-43EE-4122-A136-96D8C2B481CF}";
const char* const CLSID_HASH = "{CD3F0EA4-1CE9-4935-A4F8-71D85DEA2566}";
const char* const IID_HASH = "{E490AFE3-E089-498F-8DDF-F9D9A4C7C595}";
const char* const IID_SIGOBJ = "{4FCEFD0C-1054-47F0-AF82-4BD571D50A88}";

GUID guid(const char* text) {
    wchar_t wide[64] = {};
    for (size_t i = 0; text[i] && i < 63; ++i) wide[i] = static_cast<wchar_t>(text[i]);
    GUID value{};
    IIDFromString(wide, &value);
    return value;
}

std::string narrow(BSTR text) {
    if (!text) return "null";
    std::string out;
    for (UINT i = 0; i < SysStringLen(text); ++i) {
        const wchar_t c = text[i];
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

long liveObjects = 0;

void record(const std::string& line) {
    calls().push_back(line);
    if (!config().logFile.empty()) {
        if (FILE* out = std::fopen(config().logFile.c_str(), "ab")) {
            std::fprintf(out, "%s\n", line.c_str());
            std::fclose(out);
        }
    }
}

// ---- objects: a vtable pointer first, as every COM object

enum class Kind { SigCtl, SigObj, WizCtl, Hash };

struct Object {
    void** vtable;
    LONG references = 1;
    Kind kind;
    Object* signature = nullptr;  // the signature control's signature object
    IDispatch* sink = nullptr;    // the wizard's event sink
    HWND window = nullptr;        // the wizard's timer window
    size_t nextPress = 0;
};

const char* name_of(Kind kind) {
    switch (kind) {
    case Kind::SigCtl: return "sigctl";
    case Kind::SigObj: return "sig";
    case Kind::WizCtl: return "wiz";
    case Kind::Hash: return "hash";
    }
    return "?";
}

bool answers(const Object* object, REFIID iid) {
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch)) return true;
    switch (object->kind) {
    case Kind::SigCtl: return IsEqualIID(iid, guid(IID_SIGCTL));
    case Kind::WizCtl: return IsEqualIID(iid, guid(IID_WIZCTL));
    case Kind::Hash: return config().hashInterface && IsEqualIID(iid, guid(IID_HASH));
    case Kind::SigObj: return config().sigObjInterface && IsEqualIID(iid, guid(IID_SIGOBJ));
    }
    return false;
}

HRESULT __stdcall query_interface(Object* self, REFIID iid, void** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (!answers(self, iid)) return E_NOINTERFACE;
    ++self->references;
    *out = self;
    return S_OK;
}

ULONG __stdcall add_ref(Object* self) { return ++self->references; }

void stop_presses(Object* self) {
    if (self->window) DestroyWindow(self->window);
    self->window = nullptr;
}

ULONG __stdcall release(Object* self) {
    const LONG left = --self->references;
    if (left == 0) {
        stop_presses(self);
        if (self->sink) self->sink->Release();
        if (self->signature) reinterpret_cast<IUnknown*>(self->signature)->Release();
        delete self;
        --liveObjects;
    }
    return static_cast<ULONG>(left);
}

HRESULT __stdcall type_info_count(Object*, UINT*) { return E_NOTIMPL; }
HRESULT __stdcall type_info(Object*, UINT, LCID, ITypeInfo**) { return E_NOTIMPL; }
HRESULT __stdcall ids_of_names(Object*, REFIID, LPOLESTR*, UINT, LCID, DISPID*) { return E_NOTIMPL; }
HRESULT __stdcall invoke(Object*, DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) {
    return E_NOTIMPL;
}

template <int N>
HRESULT __stdcall unexpected(Object* self) {
    record(std::string(name_of(self->kind)) + ".slot" + std::to_string(N));
    return E_NOTIMPL;
}

template <size_t... N>
void fill_unexpected(void** table, std::index_sequence<N...>) {
    ((table[N] = reinterpret_cast<void*>(&unexpected<static_cast<int>(N)>)), ...);
}

template <size_t Size>
void base_vtable(void* (&table)[Size]) {
    fill_unexpected(table, std::make_index_sequence<Size>());
    table[0] = reinterpret_cast<void*>(&query_interface);
    table[1] = reinterpret_cast<void*>(&add_ref);
    table[2] = reinterpret_cast<void*>(&release);
    table[3] = reinterpret_cast<void*>(&type_info_count);
    table[4] = reinterpret_cast<void*>(&type_info);
    table[5] = reinterpret_cast<void*>(&ids_of_names);
    table[6] = reinterpret_cast<void*>(&invoke);
}

std::string describe(const VARIANT& v) {
    switch (v.vt) {
    case VT_INT: return std::to_string(v.intVal);
    case VT_BSTR: return "'" + narrow(v.bstrVal) + "'";
    case VT_DISPATCH: return v.pdispVal ? "object" : "null-object";
    case VT_ERROR: return v.scode == DISP_E_PARAMNOTFOUND ? "missing" : "error";
    case VT_ARRAY | VT_UI1: {
        LONG lower = 0, upper = -1;
        SafeArrayGetLBound(v.parray, 1, &lower);
        SafeArrayGetUBound(v.parray, 1, &upper);
        return (lower == 0 ? "bytes" : "bytes-from-" + std::to_string(lower)) + std::to_string(upper - lower + 1);
    }
    default: return "vt" + std::to_string(v.vt);
    }
}

HRESULT byte_array(const std::vector<uint8_t>& bytes, VARIANT* out) {
    SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(bytes.size()));
    if (!array) return E_OUTOFMEMORY;
    void* data = nullptr;
    SafeArrayAccessData(array, &data);
    if (!bytes.empty()) std::memcpy(data, bytes.data(), bytes.size());
    SafeArrayUnaccessData(array);
    out->vt = VT_ARRAY | VT_UI1;
    out->parray = array;
    return S_OK;
}

Object* make(Kind kind);

// ---- the signature object

HRESULT __stdcall sig_data(Object*, VARIANT* out) {
    record("sig.GetSigData");
    return byte_array(config().data, out);
}

HRESULT __stdcall sig_captured(Object*, VARIANT_BOOL* captured) {
    record("sig.IsCaptured");
    *captured = config().captured ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}

HRESULT __stdcall sig_render(Object*, BSTR file, LONG width, LONG height, BSTR mime, float ink, DWORD inkColour,
                             DWORD background, float paddingX, float paddingY, DWORD flags, VARIANT* picture) {
    std::ostringstream line;
    line << "sig.RenderBitmap " << narrow(file) << " " << width << " " << height << " " << narrow(mime) << " " << ink
         << " " << std::hex << inkColour << " " << background << " " << std::dec << paddingX << " " << paddingY << " "
         << std::hex << flags;
    record(line.str());
    return byte_array(config().picture, picture);
}

// ---- the signature control

HRESULT __stdcall sigctl_signature(Object* self, IDispatch** out) {
    record("sigctl.Signature");
    if (!self->signature) self->signature = make(Kind::SigObj);
    ++self->signature->references;
    *out = reinterpret_cast<IDispatch*>(self->signature);
    return S_OK;
}

// ---- the hash object

HRESULT __stdcall hash_type(Object*, LONG type) {
    record("hash.SetType " + std::to_string(type));
    return S_OK;
}

HRESULT __stdcall hash_value(Object*, VARIANT value) {
    record("hash.SetHash " + describe(value));
    return S_OK;
}

// ---- the wizard control

HRESULT __stdcall wiz_font(Object*, IFontDisp* font) {
    IFont* details = nullptr;
    if (!font || FAILED(font->QueryInterface(IID_IFont, reinterpret_cast<void**>(&details)))) {
        record("wiz.SetFont no-font");
        return E_INVALIDARG;
    }
    // What a font reports is the font realised: the nearest face installed and a size rounded to
    // whole pixels. The size in whole points and the weight are what was asked for.
    CY size{};
    SHORT weight = 0;
    details->get_Size(&size);
    details->get_Weight(&weight);
    record("wiz.SetFont " + std::to_string((size.int64 + 5000) / 10000) + "pt " + std::to_string(weight));
    details->Release();
    return S_OK;
}

HRESULT __stdcall wiz_width(Object*, SHORT* width) {
    record("wiz.PadWidth");
    *width = config().width;
    return S_OK;
}

HRESULT __stdcall wiz_height(Object*, SHORT* height) {
    record("wiz.PadHeight");
    *height = config().height;
    return S_OK;
}

HRESULT __stdcall wiz_connect(Object*, VARIANT_BOOL* connected) {
    record("wiz.Connect");
    *connected = config().connected ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}

HRESULT __stdcall wiz_disconnect(Object*) {
    record("wiz.Disconnect");
    return S_OK;
}

HRESULT __stdcall wiz_reset(Object*) {
    record("wiz.Reset");
    return S_OK;
}

HRESULT __stdcall wiz_add_object(Object*, LONG type, BSTR id, VARIANT x, VARIANT y, VARIANT data, VARIANT options) {
    record("wiz.AddObject " + std::to_string(type) + " " + narrow(id) + " " + describe(x) + " " + describe(y) + " " +
           describe(data) + " " + describe(options));
    return S_OK;
}

HRESULT __stdcall wiz_events(Object* self, IDispatch* sink) {
    record(std::string("wiz.SetEventHandler ") + (sink ? "sink" : "null"));
    if (sink) sink->AddRef();
    if (self->sink) self->sink->Release();
    self->sink = sink;
    if (!sink) stop_presses(self);
    return S_OK;
}

void press(Object* self) {
    const auto& presses = config().presses;
    if (!self->sink || self->nextPress >= presses.size()) return stop_presses(self);
    const std::string id = presses[self->nextPress++];
    if (id.empty()) return;
    // Arguments last first: the wizard, the object's identifier, its type.
    VARIANT arguments[3];
    for (auto& a : arguments) VariantInit(&a);
    arguments[0].vt = VT_INT;
    arguments[0].intVal = 1;
    arguments[1].vt = VT_BSTR;
    std::wstring wide(id.begin(), id.end());
    arguments[1].bstrVal = SysAllocString(wide.c_str());
    arguments[2].vt = VT_DISPATCH;
    arguments[2].pdispVal = reinterpret_cast<IDispatch*>(self);
    DISPPARAMS parameters{arguments, nullptr, 3, 0};
    IDispatch* sink = self->sink;
    sink->AddRef();
    const HRESULT hr = sink->Invoke(0, IID_NULL, 0, DISPATCH_METHOD, &parameters, nullptr, nullptr, nullptr);
    sink->Release();
    record("event " + id + (SUCCEEDED(hr) ? "" : " failed"));
    SysFreeString(arguments[1].bstrVal);
}

LRESULT CALLBACK timer_window(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_TIMER) {
        press(reinterpret_cast<Object*>(GetWindowLongPtrW(window, GWLP_USERDATA)));
        return 0;
    }
    return DefWindowProcW(window, message, wparam, lparam);
}

HRESULT __stdcall wiz_display(Object* self) {
    record("wiz.Display");
    if (!self->sink || self->window || config().presses.empty()) return S_OK;
    static const ATOM windowClass = [] {
        WNDCLASSW c{};
        c.lpfnWndProc = timer_window;
        c.hInstance = GetModuleHandleW(nullptr);
        c.lpszClassName = L"VeldraFakePadTimer";
        return RegisterClassW(&c);
    }();
    self->window = CreateWindowExW(0, reinterpret_cast<LPCWSTR>(static_cast<ULONG_PTR>(windowClass)), L"", 0, 0, 0, 0,
                                   0, HWND_MESSAGE, nullptr, GetModuleHandleW(nullptr), nullptr);
    if (!self->window) return E_FAIL;
    SetWindowLongPtrW(self->window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    SetTimer(self->window, 1, static_cast<UINT>(config().pressEveryMs), nullptr);
    return S_OK;
}

// ---- vtables

void* sigctlTable[31];
void* sigobjTable[31];
void* wizTable[37];
void* hashTable[11];

void make_tables() {
    static const bool made = [] {
        base_vtable(sigctlTable);
        sigctlTable[30] = reinterpret_cast<void*>(&sigctl_signature);
        base_vtable(sigobjTable);
        sigobjTable[7] = reinterpret_cast<void*>(&sig_data);
        sigobjTable[11] = reinterpret_cast<void*>(&sig_captured);
        sigobjTable[30] = reinterpret_cast<void*>(&sig_render);
        base_vtable(wizTable);
        wizTable[18] = reinterpret_cast<void*>(&wiz_font);
        wizTable[23] = reinterpret_cast<void*>(&wiz_width);
        wizTable[25] = reinterpret_cast<void*>(&wiz_height);
        wizTable[29] = reinterpret_cast<void*>(&wiz_connect);
        wizTable[30] = reinterpret_cast<void*>(&wiz_disconnect);
        wizTable[31] = reinterpret_cast<void*>(&wiz_reset);
        wizTable[32] = reinterpret_cast<void*>(&wiz_add_object);
        wizTable[35] = reinterpret_cast<void*>(&wiz_events);
        wizTable[36] = reinterpret_cast<void*>(&wiz_display);
        base_vtable(hashTable);
        hashTable[8] = reinterpret_cast<void*>(&hash_type);
        hashTable[10] = reinterpret_cast<void*>(&hash_value);
        return true;
    }();
    (void)made;
}

Object* make(Kind kind) {
    make_tables();
    auto* object = new Object{};
    object->kind = kind;
    switch (kind) {
    case Kind::SigCtl: object->vtable = sigctlTable; break;
    case Kind::SigObj: object->vtable = sigobjTable; break;
    case Kind::WizCtl: object->vtable = wizTable; break;
    case Kind::Hash: object->vtable = hashTable; break;
    }
    ++liveObjects;
    return object;
}

// ---- class objects

class Factory final : public IClassFactory {
public:
    explicit Factory(Kind kind) : kind_(kind) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IClassFactory)) return E_NOINTERFACE;
        *out = static_cast<IClassFactory*>(this);
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }  // static objects
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
        if (outer) return CLASS_E_NOAGGREGATION;
        Object* object = make(kind_);
        const HRESULT hr = query_interface(object, iid, out);
        release(object);
        return hr;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

private:
    Kind kind_;
};

Factory sigCtlFactory(Kind::SigCtl), wizCtlFactory(Kind::WizCtl), hashFactory(Kind::Hash);

struct ClassEntry {
    const char* clsid;
    Factory* factory;
    bool Config::*available;
};
const ClassEntry CLASSES[] = {{CLSID_SIGCTL, &sigCtlFactory, &Config::sigCtl},
                              {CLSID_WIZCTL, &wizCtlFactory, &Config::wizCtl},
                              {CLSID_HASH, &hashFactory, &Config::hash}};

bool flag(const std::string& value) { return value == "1" || value == "true"; }

}  // namespace

Config& config() {
    static Config value;
    return value;
}

std::vector<std::string>& calls() {
    static std::vector<std::string> lines;
    return lines;
}

std::string joined_calls() {
    std::string all;
    for (const auto& line : calls()) all += line + "\n";
    return all;
}

long live_objects() { return liveObjects; }

void configure_from_environment() {
    const char* text = std::getenv("VELDRA_FAKE_PAD");
    if (!text) return;
    Config& c = config();
    std::istringstream in(text);
    std::string item;
    while (std::getline(in, item, ';')) {
        const size_t equals = item.find('=');
        if (equals == std::string::npos) continue;
        const std::string key = item.substr(0, equals), value = item.substr(equals + 1);
        if (key == "sigctl") c.sigCtl = flag(value);
        else if (key == "wizctl") c.wizCtl = flag(value);
        else if (key == "hash") c.hash = flag(value);
        else if (key == "hashInterface") c.hashInterface = flag(value);
        else if (key == "sigObjInterface") c.sigObjInterface = flag(value);
        else if (key == "connected") c.connected = flag(value);
        else if (key == "captured") c.captured = flag(value);
        else if (key == "width") c.width = static_cast<int16_t>(std::atoi(value.c_str()));
        else if (key == "height") c.height = static_cast<int16_t>(std::atoi(value.c_str()));
        else if (key == "pressEveryMs") c.pressEveryMs = std::atoi(value.c_str());
        else if (key == "log") c.logFile = value;
        else if (key == "presses") {
            c.presses.clear();
            std::istringstream ids(value);
            std::string id;
            while (std::getline(ids, id, ',')) c.presses.push_back(id);
        }
    }
}

HRESULT get_class_object(REFCLSID clsid, REFIID iid, void** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    for (const ClassEntry& entry : CLASSES) {
        if (IsEqualCLSID(clsid, guid(entry.clsid)))
            return config().*entry.available ? entry.factory->QueryInterface(iid, object) : CLASS_E_CLASSNOTAVAILABLE;
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

Registration::Registration() {
    for (const ClassEntry& entry : CLASSES) {
        if (!(config().*entry.available)) continue;
        DWORD cookie = 0;
        if (SUCCEEDED(CoRegisterClassObject(guid(entry.clsid), entry.factory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE,
                                            &cookie)))
            cookies_.push_back(cookie);
    }
}

Registration::~Registration() {
    for (const DWORD cookie : cookies_) CoRevokeClassObject(cookie);
}

}  // namespace fakepad
