// The floor: a program that does nothing, built like isi386.
int main()
{
    return 0;
}
