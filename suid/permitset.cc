// permitset: adds, edits and removes entries of the private sendmail's
// access source file.
#include <iterator>

#include "smlib.h"
#include "tableprog.h"

namespace {

// Indices into the names, in the order of NAMES.
constexpr size_t HOST = 0;
constexpr size_t OLD_HOST = 1;

const name_option NAMES[] = {
    {'h', MSG_HOST_EMPTY, MSG_HOST_TOO_LONG, MODE_ADD | MODE_EDIT},
    {'H', MSG_HOST_EMPTY, MSG_HOST_TOO_LONG, MODE_EDIT},
};
static_assert(std::size(NAMES) <= MAX_NAME_OPTIONS);

int add(const table_names &names)
{
    return add_edit_access_host(names[HOST], nullptr, EM_ADDLINE);
}

int remove_key(const table_names &names)
{
    return remove_at_entry(names[OLD_HOST]);
}

int edit(const table_names &names)
{
    return add_edit_access_host(names[HOST], names[OLD_HOST], EM_EDITLINE);
}

const table_prog PERMITSET = {
    "permitset",
    "l:h:H:rea",
    {
        "\nAdd: %s -a -h host\n",
        "Remove: %s -r line1 [line2 line3 line4] \n",
        "Edit: %s -e -H old_host -h nost_new -l line_number\n",
    },
    NAMES,
    std::size(NAMES),
    add,
    edit,
    remove_at_lines,
    OLD_HOST,
    remove_key,
    "Failed to add the access host.\n",
    "Failed to edit the access host.\n",
    "Failed to remove the access host.\n",
};

}  // namespace

int main(int argc, char **argv)
{
    return table_main(PERMITSET, argc, argv);
}
