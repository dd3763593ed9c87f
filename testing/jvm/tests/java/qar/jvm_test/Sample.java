package qar.jvm_test;

/** Natives whose JNI names exercise the mangling: an underscore in the
 *  package and a method name, an inner class, long and double arguments. */
public class Sample {
    public static native int sum0(int a, long b, String c, int[] d);

    public native void do_it();

    public static class Inner {
        public native double[] values0(double x, boolean y);
    }
}
