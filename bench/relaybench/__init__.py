"""The relay benchmark behind bench/run: one module per concern.

build      installs what is missing, builds qorvand and the load generator
procfs     readings from /proc: free ports, listening sockets, CPU, memory
relays     the relays compared (direct, socat, socat -v, qorvand variants) and how each is started
workload   what every workload is: its load generator run, its derived figures and its rows in the table
workloads  the workloads, in table order: a new workload is one class and one entry there
peers      workloads against real servers (redis-server, nginx) driven by their own benchmark clients
goals      the goals, one table of data, and their verdict lines
report     medians, the markdown table and the machine's description
main       the command line and the run
"""
