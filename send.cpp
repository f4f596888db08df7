#include <jack/jack.h>
#include <jack/midiport.h>
#include <unistd.h>
#include <atomic>
jack_port_t* out; std::atomic<int> go{0};
int proc(jack_nframes_t n, void*) { void* b = jack_port_get_buffer(out, n); jack_midi_clear_buffer(b); if (go.exchange(0)) { unsigned char m[9]={0xF0,0x7D,1,0x11,0x51,0x2C,0x78,1,0xF7}; jack_midi_event_write(b,0,m,9); unsigned char e[3]={0x90,60,100}; jack_midi_event_write(b,0,e,3);} return 0; }
int main(){ jack_status_t s; jack_client_t* c=jack_client_open("snd",JackNoStartServer,&s); out=jack_port_register(c,"out",JACK_DEFAULT_MIDI_TYPE,JackPortIsOutput,0); jack_set_process_callback(c,proc,0); jack_activate(c); jack_connect(c,"snd:out","midi-monitor:input"); usleep(100000); go=1; usleep(200000); jack_client_close(c);}
