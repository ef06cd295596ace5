/* The stand-in libmex.dll has no code of its own: its exports are forwarders to
   libmx.dll (libmex_standin.def). A DLL needs at least one object file; this is it. */
int tarvo_libmex_standin_marker;
