// The virtual readers as tests drive them: scripts/virtual-reader, the cards it inserts, and the
// certificates the emulated cards write.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace hosttest {

// text quoted for the shell.
std::string shell_quoted(const std::string& text);
// scripts/virtual-reader with args (its output goes to standard error); its exit code.
int virtual_reader(const std::vector<std::string>& args);
// The folder of the readers' state, logs and certificates ($VELDRA_VR_DIR or build/virtual-reader).
std::string virtual_reader_dir();
// The DER of the certificate the card in reader ("plain", "escape", "bypass") wrote as NAME.pem;
// empty when there is none.
std::vector<uint8_t> card_certificate(const std::string& reader, const std::string& name);

// The cards a test inserted, so that its end can remove them all.
class InsertedCards {
public:
    // scripts/virtual-reader insert reader options...; fails the current test when that fails.
    void insert(const std::string& reader, const std::vector<std::string>& options = {});
    void remove(const std::string& reader);
    void remove_all();

private:
    std::vector<std::string> inserted_;
};

}  // namespace hosttest
