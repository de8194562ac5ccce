// A recipe: what one board of a product gets. A small UTF-8 file of
// `key = value` lines, in the station's settings style (a comment starts
// with `#` at the start of a line or after a blank; paths are taken from
// the recipe's own folder):
//
//     product = BX-100 rev C
//     image = bx100-revc.qmb      # a backup file; or: section = 11 and data = fw.hex
//     sections = 1-4,11           # optional: only these sections of the image
//     serial = sn at 2:0 u32be    # pool "sn", section 2, offset 0 (repeat for more fields)
//     keep-existing = yes         # a reworked board keeps the used value it carries
//     lease = 50                  # values a station holds for an outage of the server
//     dut-id-section = 2
//     lockout = 3
//
// The image is written section by section in rising order; each section is
// written, committed and read back before the next. The identity of a recipe
// is one SHA-256 over the recipe file and every file it names: changing any
// byte of any of them changes it, and a production line runs only released
// identities.
//
// Threads: everything here is pure or reads files; any thread.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "production/SerialFormat.h"

namespace qmb::production {

// A serial value's place on the board.
struct SerialField {
    std::string pool;
    int section = 0;  // 1..255
    int offset = 0;   // bytes from the section's start
    SerialFormat format;

    // "sn at 2:0 u32be", as the recipe writes it.
    std::string Describe() const;
};

// One section as every board gets it (before serial values are patched in).
struct ImageSection {
    int number = 0;
    std::vector<uint8_t> bytes;
};

struct Recipe {
    std::string product;
    std::string image;          // a backup file, as written in the recipe; "" in the one-section form
    std::vector<int> sections;  // the limit of `sections =`, rising; empty: every section of the image
    int section = 0;            // the one-section form: the section
    std::string data;           // ... and its file, as written in the recipe
    std::string format = "hex"; // ... hex text or raw bytes ("bin")
    std::vector<SerialField> serials;
    bool keepExisting = false;
    int lease = 0;              // values leased ahead for an outage; 0: none
    int dutIdSection = 0;       // 0: none
    int lockout = 0;            // failures in a row that stop a slot; 0: the station's own
};

// A recipe with its files read and checked.
struct LoadedRecipe {
    std::string path;                 // the recipe file as given
    Recipe recipe;
    std::vector<ImageSection> image;  // what each board gets, rising section order
    std::string identity;             // 64 lower-case hex digits
    int64_t imageLength = 0;          // bytes over all sections
    std::string imageSha256;          // of the sections' bytes in order, before serials
};

class RecipeError : public std::runtime_error {
  public:
    // unreadable: a file could not be read (else the recipe or a file it
    // names is wrong).
    explicit RecipeError(const std::string& why, bool unreadable = false)
        : std::runtime_error(why), unreadable_(unreadable) {}
    bool Unreadable() const { return unreadable_; }

  private:
    bool unreadable_;
};

// The recipe in text; name stands for the file in reasons. Throws
// RecipeError "name:LINE: reason" (one line) on a malformed line, an
// unknown or repeated key, or a recipe that says neither or both of image
// and section/data.
Recipe ParseRecipe(const std::string& text, const std::string& name);

// "" when the recipe fits its image, else the one-line reason: the sections
// it limits to are in the image, every field lies inside a section that is
// written and inside its bytes, no two fields overlap, no pool is named
// twice.
std::string CheckRecipe(const Recipe& recipe, const std::vector<ImageSection>& image);

// The identity of a recipe text and the contents of the files it names, in
// the order it names them (image or data).
std::string RecipeIdentity(const std::string& recipeText, const std::vector<std::string>& files);

// Reads the recipe at path (UTF-8), the files it names (relative to its
// folder), builds its image and checks it. Throws RecipeError (one line,
// naming the file) on anything wrong.
LoadedRecipe LoadRecipe(const std::string& path);

// The image's sections patched with values (one per field of the recipe,
// in its order, already encoded to the field's size).
std::vector<ImageSection> PatchImage(const std::vector<ImageSection>& image,
                                     const std::vector<SerialField>& fields,
                                     const std::vector<std::vector<uint8_t>>& values);

}  // namespace qmb::production
