#pragma once

// Each command takes the arguments after its own name and returns the tool's exit status.
int runList(int argc, char** argv);
int runServe(int argc, char** argv);
int runCall(int argc, char** argv);
int runListen(int argc, char** argv);
int runBench(int argc, char** argv);
int runDemo(int argc, char** argv);
