// The help text of the audio hosts (-h).
#include "host_help.h"

#include <ostream>

#include "version_line.h"

// Every line is flushed: the program ends right after, and a pipe must see it all.
void print_host_help(std::ostream& out, const char* program, const HostDescription& host,
                     const HostSettings& settings, const char* proc_verb) {
  print_version_line(out);
  out << (program != nullptr ? program : "") << " [-v] [-j json_port]" << std::endl;
  out << host.name_help << settings.client_name << ")" << std::endl;
  if (host.has_session) out << "  -S, --session=jack_session    JACK session name" << std::endl;
  out << "  -v, --verbose                 Increase verbose level (default PROC_VERB="
      << (proc_verb != nullptr ? proc_verb : "") << ")" << std::endl;
  out << "  -j, --jsonport=port           Port for TCP JSON (default: PROC_PORT="
      << settings.config.json_port << ")" << std::endl;
  out << "  -D, --store=storepath         Storage path (default: STATE_DIR="
      << settings.config.state_dir.native() << ")" << std::endl;
  out << "  -N, --state=statename         Storage state filename, if sharing storepath between "
         "instances"
      << std::endl;
  out << "  -O, --onair=onairname         Storage onair filename, if sharing storepath between "
         "instances"
      << std::endl;
  out << "  -a, --param=key=value         Add parameter" << std::endl;
  out << "  -m, --meta=key=value          Add metadata" << std::endl;
  out << "  -R, --storero                 Storage is read-only" << std::endl;
  out << "  -r, --statero                 Storage state is read-only" << std::endl;
  out << "  -w, --http=http_port          Port to listen for HTTP (current:"
      << settings.config.http_port << ")" << std::endl;
  out << "  -s, --https=https_port        Port to listen for HTTPS (current:"
      << settings.config.https_port << ")" << std::endl;
  out << std::endl;
  out << "Information" << std::endl;
  out << "  -V, --version                 Show version" << std::endl;
  out << "  -h, --help                    This help" << std::endl;
  out << std::endl;
  out << "To JSON: rlwrap telnet 0 " << settings.config.json_port << std::endl;
  out << "      {\"get\":null}                 gets full config" << std::endl;
  out << "      {\"change\":null}              gets only changes" << std::endl;
  out << "      {\"set\":{\"in\":{\"gain\":-30}}}  set the gain to -30 dB" << std::endl;
  out << std::endl;
  out << "Web login:" << std::endl;
  out << "  You can define in ENV the variable SETUP_USER or ADMIN_USER, or login will be "
         "disabled."
      << std::endl;
  out << "  You can define in ENV the variable SETUP_SECRET or ADMIN_SECRET, or one will be "
         "randomly generated and print in logs."
      << std::endl;
  out << "Other environment variables:" << std::endl;
  out << "    + STATE_DIR            : the directory to save the state" << std::endl;
  out << "    + SSL_CERTIFICATE_PATH : path to the SSL public certificate" << std::endl;
  out << "    + SSL_PRIVATE_PATH     : path to the SSL private certificate" << std::endl;
}
