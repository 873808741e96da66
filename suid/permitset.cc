#include "smlib.h"

int main()
{
    return 0;
}
