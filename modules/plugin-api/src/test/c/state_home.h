// Points the state store at a private folder (a UTF-8 path) for one test: on POSIX through XDG_DATA_HOME, on
// Windows by redirecting the user's FOLDERID_LocalAppData (put back when the object goes).
#pragma once

#include <filesystem>
#include <string>

class StateHome {
public:
    StateHome();
    ~StateHome();
    StateHome(const StateHome&) = delete;
    StateHome& operator=(const StateHome&) = delete;

    // A fresh folder of the test, removed with the object.
    const std::string& root() const { return root_; }
    // Makes base the folder under which the store keeps its "Veldra" folder.
    void point_at(const std::string& base);

private:
    std::string root_;
    std::wstring saved_;
};
