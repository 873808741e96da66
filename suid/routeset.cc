// routeset: adds, edits and removes relay-host entries (domain, TAB, host)
// of the private sendmail's mailertable source file.
#include <iterator>

#include "smlib.h"
#include "tableprog.h"

namespace {

constexpr char MSG_DOMAIN_EMPTY[] = "Domain name argument must include an actual domain name.\n";
constexpr char MSG_DOMAIN_TOO_LONG[] = "Domain name is too long. The max is: %d.\n";

// Indices into the names, in the order of NAMES.
constexpr size_t DOMAIN = 0;
constexpr size_t OLD_DOMAIN = 1;
constexpr size_t HOST = 2;

const name_option NAMES[] = {
    {'d', MSG_DOMAIN_EMPTY, MSG_DOMAIN_TOO_LONG, MODE_ADD | MODE_EDIT},
    {'D', MSG_DOMAIN_EMPTY, MSG_DOMAIN_TOO_LONG, MODE_EDIT},
    {'h', MSG_HOST_EMPTY, MSG_HOST_TOO_LONG, MODE_ADD | MODE_EDIT},
};
static_assert(std::size(NAMES) <= MAX_NAME_OPTIONS);

int add(const table_names &names)
{
    return add_edit_relay_host(names[DOMAIN], names[HOST], nullptr, EM_ADDLINE);
}

int remove_key(const table_names &names)
{
    return remove_mt_entry(names[OLD_DOMAIN]);
}

int edit(const table_names &names)
{
    return add_edit_relay_host(names[DOMAIN], names[HOST], names[OLD_DOMAIN], EM_EDITLINE);
}

const table_prog ROUTESET = {
    "routeset",
    "l:h:d:D:rea",
    {
        "\nAdd: %s -a -d domain -h host\n",
        "Remove: %s -r -d domain -l line number\n",
        "Edit: %s -e -D domain_old -d domain_new -h nost_new -l line_number\n",
    },
    NAMES,
    std::size(NAMES),
    add,
    edit,
    remove_mt_lines,
    OLD_DOMAIN,
    remove_key,
    "Failed to add the relay host.\n",
    "Failed to edit the relay host.\n",
    "Failed to remove the relay host.\n",
};

}  // namespace

int main(int argc, char **argv)
{
    return table_main(ROUTESET, argc, argv);
}
